#pragma once

// Reads the timing of fragmented-MP4 segments from their boxes, as an HLS player does: each
// track fragment's base decode time (tfdt) and the sum of its sample durations (trun, tfhd or
// trex defaults), in the track's timescale (mdhd).

#include <cstdint>
#include <map>
#include <string>

#include "common/bytes.hpp"

namespace skylark::test {

struct TrackTiming {
    bool video = false;  // handler "vide"
    std::uint32_t timescale = 0;
    std::uint32_t defaultDuration = 0;  // trex
};

struct FragmentTiming {
    double start = 0;     // seconds
    double duration = 0;  // seconds
    std::uint32_t samples = 0;
};

// Track ID to timescale and defaults, from an initialization segment.
std::map<std::uint32_t, TrackTiming> readTracks(const Bytes& init, std::string& error);

// Track ID to timing, from one media segment.
std::map<std::uint32_t, FragmentTiming> readFragments(
    const Bytes& segment, const std::map<std::uint32_t, TrackTiming>& tracks, std::string& error);

}  // namespace skylark::test
