#pragma once

#include <cstdint>
#include <functional>

#include "platform/ffmpeg/av_handles.hpp"
#include "platform/ffmpeg/encoder_settings.hpp"

namespace skylark::ffmpeg {

// Frames to H.264. An I420 frame of the configured size goes to libx264 as it is, by reference
// (x264 copies it into its own picture); libswscale scales a frame of any other size.
// libx264 encodes with zero latency: one packet comes out for every frame that goes in, before
// encode() returns. Not thread-safe: one thread drives it.
class VideoEncoder {
  public:
    // Times of frames and packets are in this unit.
    static constexpr AVRational kTimeBase{1, 90000};

    // Opens libx264 at x264's speed `preset`. Throws EncoderFailure when libx264 is missing or
    // refuses the settings.
    VideoEncoder(const WriterSettings& settings, const std::string& preset);

    const AVCodecContext& context() const { return *context_; }

    // Encodes `frame` at `pts`; `keyFrame` forces an IDR frame. Each packet is handed to `sink`,
    // which may take its reference. Throws EncoderFailure.
    void encode(const VideoFrame& frame, std::int64_t pts, bool keyFrame,
                const std::function<void(AVPacket&)>& sink);

  private:
    // The frame's own planes as an encoder frame that keeps them alive while x264 reads them.
    FramePtr borrow(const VideoFrame& frame);
    void scale(const VideoFrame& frame);  // a frame of another size

    CodecContextPtr context_;
    FramePtr picture_;  // reused for every frame
    PacketPtr packet_;  // reused for every packet
    SwsContextPtr scaler_;
    std::int32_t scalerWidth_ = 0;
    std::int32_t scalerHeight_ = 0;
};

}  // namespace skylark::ffmpeg
