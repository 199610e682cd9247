#pragma once

#include <cstdint>
#include <memory>

#include "common/media_time.hpp"

namespace skylark {

// Captured media on its way from a capture backend to the writer. Both are immutable values
// that are cheap to copy: the payload is shared, never copied and never written once handed
// over. Times of frames and audio come from one clock (CLOCK_MONOTONIC in nanoseconds), so the
// two can be compared.

// How a frame's pixels are laid out.
enum class PixelLayout : std::uint8_t {
    // `height` rows of `width` pixels, 4 bytes each (blue, green, red, alpha), rows
    // `stride_bytes` apart (at least 4 * width).
    bgra,
    // BT.601 limited-range YUV 4:2:0 in three planes, as the H.264 encoder takes it: `pixels`
    // is the luma plane (rows `stride_bytes` apart), `u` and `v` the chroma planes of
    // (width + 1) / 2 x (height + 1) / 2 samples, rows `chroma_stride_bytes` apart.
    i420,
};

// A complete picture. `pixels` points at the top row (of the luma plane for I420) and keeps
// the storage of every plane alive (the aliasing constructor of shared_ptr lets it point into
// memory another object owns, e.g. a pooled picture).
struct VideoFrame {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride_bytes = 0;
    std::shared_ptr<const std::uint8_t> pixels;
    MediaTime time;
    PixelLayout layout = PixelLayout::bgra;
    const std::uint8_t* u = nullptr;  // I420 only, owned with `pixels`
    const std::uint8_t* v = nullptr;
    std::int32_t chroma_stride_bytes = 0;
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
