#pragma once

#include <cstdint>
#include <functional>

#include "common/media_frames.hpp"

typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;

namespace skylark {

// The cast's sound as Opus (48 kHz stereo, 10 ms frames, low delay), encoded once for all the
// viewers: each of them only packetizes what this makes.
//
// Threads: the constructor and destructor on one thread that is none of GStreamer's; push()
// from one thread at a time, never blocking; the output comes on the encoder's own thread, one
// sample at a time, stamped like the PCM it came from. The destructor waits for a delivery
// in progress: never destroy the encoder while holding a lock the output takes.
class OpusEncoder {
  public:
    using Output = std::function<void(GstSample* sample)>;
    // Media times are counted from `base_ns` (CLOCK_MONOTONIC), as the viewers' are. Throws
    // std::runtime_error when the pipeline cannot be built.
    OpusEncoder(std::int64_t base_ns, Output output);
    ~OpusEncoder();
    OpusEncoder(const OpusEncoder&) = delete;
    OpusEncoder& operator=(const OpusEncoder&) = delete;

    void push(const AudioBuffer& pcm);

  private:
    GstElement* pipeline_ = nullptr;
    GstElement* source_ = nullptr;
    const std::int64_t base_ns_;
    Output output_;
    std::int32_t rate_ = 0;  // the caps set on the source
    std::int32_t channels_ = 0;
};

}  // namespace skylark
