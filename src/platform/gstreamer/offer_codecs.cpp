#include "platform/gstreamer/offer_codecs.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <sstream>
#include <vector>

#include "http/device_access.hpp"

namespace skylark {
namespace {

struct Section {
    std::string kind;  // "video", "audio", ...
    std::vector<int> payloads;
    std::map<int, std::string> codec;  // payload type -> "H264/90000" etc., as written
    std::map<int, std::string> format;
};

std::optional<int> number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 127) {
        return std::nullopt;
    }
    return value;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "a=rtpmap:<pt> <rest>" and "a=fmtp:<pt> <rest>" into `into`.
void attribute(std::string_view line, std::string_view name, std::map<int, std::string>& into) {
    if (!line.starts_with(name)) {
        return;
    }
    line.remove_prefix(name.size());
    const auto space = line.find(' ');
    if (const auto pt = number(line.substr(0, space)); pt && space != line.npos) {
        into[*pt] = std::string(line.substr(space + 1));
    }
}

std::vector<Section> sections(const std::string& sdp) {
    std::vector<Section> out;
    std::istringstream lines(sdp);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with("m=")) {
            std::istringstream words(line.substr(2));
            Section section;
            std::string port, proto, pt;
            words >> section.kind >> port >> proto;
            while (words >> pt) {
                if (auto value = number(pt)) {
                    section.payloads.push_back(*value);
                }
            }
            out.push_back(std::move(section));
        } else if (!out.empty()) {
            attribute(line, "a=rtpmap:", out.back().codec);
            attribute(line, "a=fmtp:", out.back().format);
        }
    }
    return out;
}

// The stream's own profile first (its first byte, the profile, and the constraint flags of
// the second that make a baseline constrained), then constrained baseline, then any baseline.
int rank(const std::string& format, const std::string& stream) {
    const std::string text = lower(format);
    if (text.find("packetization-mode=1") == text.npos) {
        return -1;
    }
    const auto at = text.find("profile-level-id=");
    const std::string offered = at == text.npos ? "42" : text.substr(at + 17, 4);
    const std::string wanted = lower(stream).substr(0, 4);
    const bool sameProfile =
        wanted.size() == 4 && offered.size() == 4 && offered.substr(0, 2) == wanted.substr(0, 2);
    // Baselines differ by their constraint flags; the other profiles take any.
    if (sameProfile && (offered == wanted || !offered.starts_with("42"))) {
        return 4;
    }
    return offered == "42e0" ? 3 : offered.starts_with("42") ? 2 : 1;
}

}  // namespace

std::variant<OfferCodecs, std::string> offerCodecs(const std::string& sdp,
                                                   const std::string& profile) {
    if (!sdp.starts_with("v=0")) {
        return std::string("The offer is not a session description.");
    }
    OfferCodecs codecs;
    int best = -1;
    for (const Section& section : sections(sdp)) {
        for (int pt : section.payloads) {
            const auto codec = section.codec.find(pt);
            const std::string name = codec == section.codec.end() ? "" : lower(codec->second);
            const auto format = section.format.find(pt);
            const std::string fmtp = format == section.format.end() ? "" : format->second;
            if (section.kind == "video" && name.starts_with("h264/90000") &&
                rank(fmtp, profile) > best) {
                best = rank(fmtp, profile);
                codecs.videoPayload = pt;
            } else if (section.kind == "audio" && name.starts_with("opus/48000") &&
                       !codecs.audioPayload) {
                codecs.audioPayload = pt;
            }
        }
    }
    if (best < 0) {
        return std::string("The offer has no H.264 video in packetization mode 1.");
    }
    return codecs;
}

std::optional<std::string> streamProfile(const Bytes& unit) {
    for (std::size_t i = 0; i + 7 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 && (unit[i + 3] & 0x1F) == 7) {
            return hexKey({reinterpret_cast<const char*>(unit.data() + i + 4), 3});
        }
    }
    return std::nullopt;
}

}  // namespace skylark
