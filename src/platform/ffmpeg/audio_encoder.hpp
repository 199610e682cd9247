#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/ffmpeg/av_handles.hpp"
#include "platform/ffmpeg/encoder_settings.hpp"

namespace skylark::ffmpeg {

// Interleaved float buffers to AAC on one gapless timeline. Buffers are converted to the
// configured rate and layout, placed on the timeline by their position, and re-framed to the
// encoder's frame size. Small jitter in the positions is absorbed; a gap is filled with silence
// and the overlapping part of a late buffer is cut away, so packet times always rise by
// exactly one frame. Not thread-safe: one thread drives it.
//
// Positions are in samples of the configured rate from the session start, and so are the
// packets' times. The timeline starts at the encoder's priming delay, so that the first packet,
// which carries the priming, starts at time 0 and every later packet lines up with the input.
class AudioEncoder {
  public:
    using PacketSink = std::function<void(AVPacket&)>;

    // Throws EncoderFailure when the AAC encoder refuses the settings.
    explicit AudioEncoder(const WriterSettings& settings);

    const AVCodecContext& context() const { return *context_; }
    AVRational timeBase() const { return context_->time_base; }

    // Places `samples` at `position` and encodes every whole frame now available.
    void add(const AudioBuffer& samples, std::int64_t position, const PacketSink& sink);
    // Appends silence until at least `count` more samples are on the timeline.
    void addSilence(std::int64_t count, const PacketSink& sink);
    // The position the next sample on the timeline will have.
    std::int64_t end() const { return timelineEnd_; }

  private:
    // Converts to planar float at the configured format into converted_; returns the count.
    int convert(const AudioBuffer& samples);
    void appendToTimeline(uint8_t** planes, int count);
    void encodeWholeFrames(const PacketSink& sink);

    CodecContextPtr context_;
    FramePtr frame_;    // reused for every encoder frame
    PacketPtr packet_;  // reused for every packet
    SwrContextPtr converter_;
    std::int32_t converterRate_ = 0;
    std::int32_t converterChannels_ = 0;
    std::vector<std::vector<float>> converted_;  // one plane per output channel
    AudioFifoPtr fifo_;
    std::int64_t timelineEnd_ = 0;  // position just after the last sample on the timeline
    std::int64_t nextFramePts_ = 0;
    bool placedAny_ = false;
};

}  // namespace skylark::ffmpeg
