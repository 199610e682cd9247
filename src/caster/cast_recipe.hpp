#pragma once

#include <cstdint>

#include "caster/capture_platform.hpp"
#include "caster/stream_writer.hpp"

namespace skylark {

// What every cast asks of the capture beyond the writer's numbers, which are WriterSettings's
// defaults (stream_writer.hpp): the recipe below and the tests read this table.
struct CastConstants {
    std::int64_t max_encoding_width = 1920;
    std::int32_t capture_queue_depth = 5;
    std::uint32_t picker_modes = PickerMode::singleDisplay | PickerMode::singleApplication;
};
inline constexpr CastConstants kCast{};

// The sizes worked out for one cast, in pixels.
struct EncodingSize {
    std::int64_t sourceWidth = 2;
    std::int64_t sourceHeight = 2;
    std::int64_t width = 2;   // even, at least 2, at most kCast.max_encoding_width
    std::int64_t height = 2;  // even, at least 2; follows the source's aspect ratio, no ceiling

    friend bool operator==(const EncodingSize&, const EncodingSize&) = default;
};

// From the content's size in points and its pixels per point:
//   source = points x scale, truncated toward zero, at least 2 (each dimension);
//   width  = min(1920, source width), made even;
//   height = width x source height / source width in double, truncated, at least 2, made even.
// E.g. 1512x982 points at 2 give source 3024x1964, encoding 1920x1246. Not-a-number or negative
// products count as 0 (so 2); products beyond 2^40 are clamped to it, so nothing overflows.
EncodingSize computeEncodingSize(double contentWidthPoints, double contentHeightPoints,
                                 double pixelsPerPoint);

struct CastRecipe {
    EncodingSize size;
    StreamConfiguration stream;
    WriterSettings writer;
};

// The capture configuration and writer settings for content of `points` at `pixelsPerPoint`.
CastRecipe castRecipe(ContentSize points, double pixelsPerPoint);

// What the picker offers: one display or one application, chosen once per presentation.
ContentPickerConfiguration castPickerConfiguration();

}  // namespace skylark
