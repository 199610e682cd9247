#include "http/request_framing.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace skylark {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

HTTPResponse plainResponse(std::string status, std::string_view text) {
    HTTPResponse response;
    response.status = std::move(status);
    response.contentType = "text/plain";
    response.body = makeBuffer(text);
    return response;
}

bool isSpaceOrNewline(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpaceOrNewline(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpaceOrNewline(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// Calls `visit` with each CR LF separated line of `text`.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
    while (true) {
        const auto end = text.find("\r\n");
        visit(text.substr(0, end));
        if (end == std::string_view::npos) {
            return;
        }
        text.remove_prefix(end + 2);
    }
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::int64_t contentLength(std::string_view header) {
    std::int64_t length = 0;
    forEachLine(header, [&](std::string_view line) {
        constexpr std::string_view name = "content-length:";
        if (startsWithIgnoringCase(line, name)) {
            length = parseDecimal(trim(line.substr(name.size()))).value_or(0);
        }
    });
    return length;
}

FrameResult frameRequest(std::span<const std::uint8_t> received) {
    const std::string_view bytes(reinterpret_cast<const char*>(received.data()), received.size());
    FrameResult result;
    // Only the first kMaxHeaderBytes + 4 bytes can hold an acceptable end of the header block.
    const auto headerEnd = bytes.substr(0, kMaxHeaderBytes + kHeaderEnd.size()).find(kHeaderEnd);
    if (headerEnd == std::string_view::npos) {
        if (bytes.size() >= kMaxHeaderBytes + kHeaderEnd.size()) {
            result.kind = FrameResult::Kind::Rejected;
            result.rejection = plainResponse("431 Request Header Fields Too Large",
                                             "Request header fields too large");
        }
        return result;
    }

    const std::string_view headerBytes = bytes.substr(0, headerEnd);
    const std::int64_t length = contentLength(headerBytes);
    const auto bodyStart = static_cast<std::int64_t>(headerEnd + kHeaderEnd.size());
    if (length < 0 || length > std::numeric_limits<std::int64_t>::max() - bodyStart) {
        result.kind = FrameResult::Kind::Rejected;
        result.rejection = plainResponse("400 Bad Request", "Bad request");
        return result;
    }
    if (length > kMaxBodyBytes) {
        result.kind = FrameResult::Kind::Rejected;
        result.rejection = plainResponse("413 Payload Too Large", "Payload too large");
        return result;
    }
    if (bodyStart + length > static_cast<std::int64_t>(bytes.size())) {
        return result;
    }
    result.kind = FrameResult::Kind::Complete;
    result.header = decodeUtf8Lossy(headerBytes);
    result.bodyStart = static_cast<std::size_t>(bodyStart);
    result.bodyLength = static_cast<std::size_t>(length);
    return result;
}

HTTPRequest parseRequest(std::string header, ByteBuffer body) {
    HTTPRequest request;
    const std::string_view firstLine = std::string_view(header).substr(0, header.find("\r\n"));
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at < firstLine.size();) {
        const auto end = std::min(firstLine.find(' ', at), firstLine.size());
        if (end > at) {
            pieces.push_back(firstLine.substr(at, end - at));
        }
        at = end + 1;
    }
    request.method = pieces.empty() ? "GET" : std::string(pieces[0]);
    request.path = pieces.size() < 2 ? "/" : std::string(pieces[1].substr(0, pieces[1].find('?')));
    request.header = std::move(header);
    request.body = body ? std::move(body) : HTTPResponse::emptyBody();
    return request;
}

std::vector<std::string_view> headerValues(std::string_view header, std::string_view name) {
    std::vector<std::string_view> values;
    bool requestLine = true;
    forEachLine(header, [&](std::string_view line) {
        if (std::exchange(requestLine, false)) {
            return;
        }
        if (line.size() > name.size() && line[name.size()] == ':' &&
            startsWithIgnoringCase(line, name)) {
            values.push_back(trim(line.substr(name.size() + 1)));
        }
    });
    return values;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // Length of the sequence and the allowed range of its second byte, which rules out
        // overlong forms, surrogates and values above U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        if (length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        // A maximal valid prefix of a sequence is replaced by one U+FFFD, as decoders do.
        std::size_t taken = 1;
        while (taken < length && i + taken < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[i + taken]);
            const bool ok = taken == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
            if (!ok) {
                break;
            }
            ++taken;
        }
        if (taken == length) {
            out.append(bytes.substr(i, length));
        } else {
            out += kReplacement;
        }
        i += taken;
    }
    return out;
}

}  // namespace skylark
