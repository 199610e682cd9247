#pragma once

// Reads delivered segments back with libavformat and libavcodec, as a player would.

#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.hpp"

namespace skylark::test {

struct ProbedTrack {
    bool video = false;
    std::string codec;  // FFmpeg's codec name: "h264", "aac"
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    bool bt709 = false;  // the video is tagged BT.709
};

struct ProbedPacket {
    bool video = false;
    double pts = 0;       // seconds
    double duration = 0;  // not reliable for a fragment's last sample: read the boxes
    bool key = false;
};

struct Probe {
    std::string error;  // empty when the bytes opened and demuxed cleanly
    std::vector<ProbedTrack> tracks;
    std::vector<ProbedPacket> packets;  // in file order
    int decodedVideoFrames = 0;
    int decodedAudioFrames = 0;
    int damagedFrames = 0;  // frames the decoder flagged as corrupt or with errors
    // Y, U and V at the centre of the first decoded picture.
    int centreY = -1, centreU = -1, centreV = -1;

    std::vector<ProbedPacket> of(bool video) const;
};

// Demuxes (and, when `decode`, decodes) the concatenation of `parts`: an initialization
// segment followed by media segments.
Probe probe(const std::vector<const Bytes*>& parts, bool decode);

}  // namespace skylark::test
