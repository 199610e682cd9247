#pragma once

#include <cstddef>
#include <string>

#include "caster/stream_writer.hpp"
#include "common/media_frames.hpp"

namespace skylark::ffmpeg {

// How this writer encodes what WriterSettings asks for: the library's own knobs, none of the
// cast's numbers.
struct EncoderTuning {
    // x264's speed preset. "ultrafast" keeps 1080p30 in real time on two cores with room for
    // the capture and the rest of the desktop (see bench/ffmpeg).
    std::string preset = "ultrafast";
    // How much media may wait for the encoder before the inputs answer "not ready".
    std::size_t maxQueuedVideoFrames = 3;
    std::size_t maxQueuedAudioBuffers = 64;
};

// Why a frame or buffer cannot be encoded, or an empty text when it can.
std::string checkVideoFrame(const VideoFrame& frame);
std::string checkAudioBuffer(const AudioBuffer& buffer);
// Why these settings cannot be encoded, or an empty text when they can.
std::string checkSettings(const WriterSettings& settings, const EncoderTuning& tuning);

}  // namespace skylark::ffmpeg
