#include "fmp4_boxes.hpp"

#include <functional>

namespace skylark::test {

namespace {

std::uint32_t u32(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
}

std::uint64_t u64(const Bytes& b, std::size_t at) {
    return (std::uint64_t{u32(b, at)} << 32) | u32(b, at + 4);
}

// Calls `visit(type, payload start, end)` for each box in [begin, end), descending into the
// containers a fragment's timing lives in. False when a box runs past its parent.
bool walk(const Bytes& b, std::size_t begin, std::size_t end,
          const std::function<void(const std::string&, std::size_t, std::size_t)>& visit) {
    static const std::string containers[] = {"moov", "trak", "mdia", "mvex", "moof", "traf"};
    while (begin + 8 <= end) {
        std::uint32_t size = u32(b, begin);
        std::string type(b.begin() + static_cast<std::ptrdiff_t>(begin) + 4,
                         b.begin() + static_cast<std::ptrdiff_t>(begin) + 8);
        if (size < 8 || begin + size > end) {
            return false;
        }
        visit(type, begin + 8, begin + size);
        for (const auto& container : containers) {
            if (type == container && !walk(b, begin + 8, begin + size, visit)) {
                return false;
            }
        }
        begin += size;
    }
    return begin == end;
}

}  // namespace

std::map<std::uint32_t, TrackTiming> readTracks(const Bytes& init, std::string& error) {
    std::map<std::uint32_t, TrackTiming> tracks;
    std::uint32_t current = 0;
    bool ok = walk(init, 0, init.size(), [&](const std::string& type, std::size_t at, std::size_t) {
        if (type == "tkhd") {
            current = u32(init, at + (init[at] == 1 ? 20 : 12));
        } else if (type == "hdlr") {
            tracks[current].video =
                std::string(init.begin() + static_cast<std::ptrdiff_t>(at) + 8,
                            init.begin() + static_cast<std::ptrdiff_t>(at) + 12) == "vide";
        } else if (type == "mdhd") {
            tracks[current].timescale = u32(init, at + (init[at] == 1 ? 20 : 12));
        } else if (type == "trex") {
            tracks[u32(init, at + 4)].defaultDuration = u32(init, at + 12);
        }
    });
    if (!ok) {
        error = "the initialization segment's boxes do not nest";
    }
    return tracks;
}

std::map<std::uint32_t, FragmentTiming> readFragments(
    const Bytes& segment, const std::map<std::uint32_t, TrackTiming>& tracks, std::string& error) {
    std::map<std::uint32_t, FragmentTiming> result;
    std::uint32_t track = 0;
    std::uint32_t defaultDuration = 0;
    bool ok =
        walk(segment, 0, segment.size(), [&](const std::string& type, std::size_t at, std::size_t) {
            auto found = tracks.find(track);
            double scale =
                found == tracks.end() || found->second.timescale == 0 ? 1 : found->second.timescale;
            if (type == "tfhd") {
                std::uint32_t flags = u32(segment, at) & 0xffffff;
                track = u32(segment, at + 4);
                std::size_t p = at + 8;
                p += (flags & 0x1) ? 8 : 0;
                p += (flags & 0x2) ? 4 : 0;
                defaultDuration = (flags & 0x8)         ? u32(segment, p)
                                  : tracks.count(track) ? tracks.at(track).defaultDuration
                                                        : 0;
            } else if (type == "tfdt") {
                std::uint64_t base = segment[at] == 1 ? u64(segment, at + 4) : u32(segment, at + 4);
                result[track].start = static_cast<double>(base) / scale;
            } else if (type == "trun") {
                std::uint32_t flags = u32(segment, at) & 0xffffff;
                std::uint32_t count = u32(segment, at + 4);
                std::size_t p = at + 8 + ((flags & 0x1) ? 4 : 0) + ((flags & 0x4) ? 4 : 0);
                std::uint64_t total = 0;
                for (std::uint32_t i = 0; i < count; ++i) {
                    total += (flags & 0x100) ? u32(segment, p) : defaultDuration;
                    p += 4 * (((flags & 0x100) != 0) + ((flags & 0x200) != 0) +
                              ((flags & 0x400) != 0) + ((flags & 0x800) != 0));
                }
                result[track].duration += static_cast<double>(total) / scale;
                result[track].samples += count;
            }
        });
    if (!ok) {
        error = "the segment's boxes do not nest";
    }
    return result;
}

}  // namespace skylark::test
