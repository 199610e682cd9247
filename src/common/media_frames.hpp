#pragma once

#include <cstdint>
#include <memory>

#include "common/media_time.hpp"

namespace skylark {

// Captured media on its way from a capture backend to the writer. Both are immutable values
// that are cheap to copy: the payload is shared, never copied and never written once handed
// over. Times of frames and audio come from one clock (CLOCK_MONOTONIC in nanoseconds), so the
// two can be compared.

// A complete BGRA picture: `height` rows of `width` pixels, 4 bytes each (blue, green, red,
// alpha), rows `stride_bytes` apart (at least 4 * width). `pixels` points at the top row and
// keeps the storage alive (the aliasing constructor of shared_ptr lets it point into memory
// another object owns, e.g. a pooled picture).
struct VideoFrame {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride_bytes = 0;
    std::shared_ptr<const std::uint8_t> pixels;
    MediaTime time;
};

// Interleaved 32-bit float PCM: `frames` frames of `channels` samples each (left, right for
// two), nominally in -1.0..1.0, at `rate_hz` frames a second.
struct AudioBuffer {
    std::int32_t frames = 0;
    std::int32_t channels = 0;
    std::int32_t rate_hz = 0;
    std::shared_ptr<const float> samples;
    MediaTime time;
};

}  // namespace skylark
