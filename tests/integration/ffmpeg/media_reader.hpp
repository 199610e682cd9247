#pragma once

// Reads segments back as a player would (libavformat, libavcodec) and checks what every
// delivered stream must satisfy.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/media_frames.hpp"

namespace skylark::test {

constexpr std::int64_t kSecond_ns = 1'000'000'000;

struct Track {
    bool video = false;
    std::string codec;  // "h264", "aac"
    int width = 0, height = 0, rate_hz = 0, channels = 0;
    bool bt709 = false;
};

struct Packet {
    bool video = false;
    double pts = 0;  // seconds
    bool key = false;
};

struct Probe {
    std::string error;  // empty when the bytes opened and demuxed cleanly
    std::vector<Track> tracks;
    std::vector<Packet> video, audio;
    int decodedVideo = 0, decodedAudio = 0, damaged = 0;
    int centreY = -1, centreU = -1, centreV = -1;  // of the first picture
};

// Demuxes and decodes the concatenation of `parts`: an initialization segment, then media.
Probe probe(const std::vector<const Bytes*>& parts);

// Every media segment starts with a key frame, carries both tracks and decodes after the
// initialization segment alone (an H.264 track of width x height in BT.709, 48 kHz stereo AAC);
// all together, video times rise and audio runs without a gap; with `regular`, every
// segment but the last lasts 0.2 to 0.3 s. Returns the number of video frames.
int expectPlayable(const Bytes& init, const std::vector<const Bytes*>& media, int width, int height,
                   bool regular = true);

// A moving pattern with a band of noise, rows padded, so every frame costs the encoder bits.
VideoFrame patternFrame(int width, int height, int index, std::int64_t time_ns = 0);
// `count` frames of a 440 Hz tone from sample `first` of a timeline at `rate_hz`.
AudioBuffer tone(std::int64_t first, int count, int rate_hz = 48000, int channels = 2,
                 std::int64_t time_ns = 0);

}  // namespace skylark::test
