#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "caster/stream_writer.hpp"
#include "common/media_frames.hpp"

namespace skylark::ffmpeg {

// What the writer is asked to produce. The defaults are the stream every cast uses: H.264 at
// 6 Mbit/s with a key frame at least every 8 frames and every 0.25 s, AAC at 48 kHz stereo and
// 192 kbit/s, in segments of 0.25 s.
struct EncoderSettings {
    std::int32_t width = 0;   // even, 2 to 16384
    std::int32_t height = 0;  // even, 2 to 16384
    std::int64_t videoBitRate_bps = 6'000'000;
    std::int32_t maxKeyFrameInterval_frames = 8;
    std::int64_t maxKeyFrameInterval_ns = 250'000'000;
    // Segments start on a key frame at (or just after) each multiple of this interval.
    std::int64_t segmentInterval_ns = 250'000'000;
    // The highest rate the source delivers; frames may come slower or unevenly.
    std::int32_t frameRate_fps = 30;
    // x264's speed preset. "ultrafast" keeps 1080p30 in real time on two cores with room for
    // the capture and the rest of the desktop (see bench/ffmpeg).
    std::string preset = "ultrafast";

    std::int32_t audioSampleRate_hz = 48000;
    std::int32_t audioChannels = 2;
    std::int64_t audioBitRate_bps = 192'000;

    // How much media may wait for the encoder before the inputs answer "not ready".
    std::size_t maxQueuedVideoFrames = 3;
    std::size_t maxQueuedAudioBuffers = 64;
};

// Why a frame or buffer cannot be encoded, or an empty text when it can.
std::string checkVideoFrame(const VideoFrame& frame);
std::string checkAudioBuffer(const AudioBuffer& buffer);
// Why these settings cannot be encoded, or an empty text when they can.
std::string checkSettings(const EncoderSettings& settings);

}  // namespace skylark::ffmpeg
