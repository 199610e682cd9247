#pragma once

#include <cstdint>
#include <memory>

namespace skylark {

// Captured media on its way from a capture backend to the writer. Both are immutable values
// that are cheap to copy: the payload is shared, never copied and never written once handed
// over. Both are stamped in nanoseconds of CLOCK_MONOTONIC, so a frame and an audio buffer can
// be compared.

// A complete picture in BT.601 limited-range YUV 4:2:0, three planes, as the H.264 encoder
// takes it: `pixels` is the luma plane (`height` rows of `width` samples, `stride_bytes`
// apart); `u` and `v` are the chroma planes of (width + 1) / 2 x (height + 1) / 2 samples, rows
// `chroma_stride_bytes` apart. `pixels` keeps the storage of all three planes alive (the
// aliasing constructor of shared_ptr lets it point into a pooled picture).
struct VideoFrame {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride_bytes = 0;
    std::shared_ptr<const std::uint8_t> pixels;
    const std::uint8_t* u = nullptr;
    const std::uint8_t* v = nullptr;
    std::int32_t chroma_stride_bytes = 0;
    std::int64_t time_ns = 0;
};

// Interleaved 32-bit float PCM: `frames` frames of `channels` samples each (left, right for
// two), nominally in -1.0..1.0, at `rate_hz` frames a second.
struct AudioBuffer {
    std::int32_t frames = 0;
    std::int32_t channels = 0;
    std::int32_t rate_hz = 0;
    std::shared_ptr<const float> samples;
    std::int64_t time_ns = 0;
};

}  // namespace skylark
