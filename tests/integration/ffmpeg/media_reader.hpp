#pragma once

// Reads segments back as a player would, with libavformat and libavcodec.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/media_frames.hpp"

namespace skylark::test {

constexpr std::int64_t kSecond_ns = 1'000'000'000;

struct Probe {
    std::string error;                 // empty when the bytes opened and demuxed cleanly
    std::vector<std::string> tracks;   // e.g. "h264 640x360 smpte170m tv", "aac 48000 Hz 2 ch"
    std::vector<double> video, audio;  // packet times in seconds, in file order
    std::vector<bool> key;             // of each video packet
    std::vector<int> videoBytes;       // of each video packet
    int decodedVideo = 0, decodedAudio = 0, damaged = 0;
    int centreY = -1, centreU = -1, centreV = -1;  // of the first picture
};

// Demuxes and decodes the concatenation of an initialization segment and media segments.
Probe probe(const std::vector<const Bytes*>& parts);

// Every media segment starts with a key frame, carries both tracks and decodes after the
// initialization segment alone (an H.264 track of width x height tagged BT.601 limited range, 48
// kHz stereo AAC); all together, video times rise and audio runs without a gap; with `regular`,
// every segment but the last lasts 0.2 to 0.3 s. Returns the number of video frames.
int expectPlayable(const Bytes& init, const std::vector<const Bytes*>& media, int width, int height,
                   bool regular = true);

// A moving pattern with noise, rows padded, so every frame costs the encoder bits.
VideoFrame patternFrame(int width, int height, int index);
// `count` frames of a 440 Hz tone from sample `first` of a timeline at `rate_hz`.
AudioBuffer tone(std::int64_t first, int count, int rate_hz = 48000, int channels = 2);

}  // namespace skylark::test
