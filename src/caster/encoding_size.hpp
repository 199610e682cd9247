#pragma once

#include <cstdint>

namespace skylark {

// The sizes worked out for one cast all in pixels.
struct EncodingSize {
    std::int64_t sourceWidth = 2;
    std::int64_t sourceHeight = 2;
    std::int64_t width = 2;   // even, at least 2, at most kMaxEncodingWidth
    std::int64_t height = 2;  // even, at least 2; follows the source's aspect ratio, no ceiling

    friend bool operator==(const EncodingSize&, const EncodingSize&) = default;
};

inline constexpr std::int64_t kMaxEncodingWidth = 1920;

// From the content's size in points and its pixels per point:
//   source = points × scale, truncated toward zero, at least 2 (each dimension);
//   width  = min(1920, source width), made even;
//   height = width × source height ÷ source width in double, truncated, at least 2, made even.
// E.g. 1512×982 points at 2 → source 3024×1964, encoding 1920×1246.
// Not-a-number or negative products count as 0 (so 2); products beyond 2^40 are clamped to it,
// so that no conversion overflows.
EncodingSize computeEncodingSize(double contentWidthPoints, double contentHeightPoints,
                                 double pixelsPerPoint);

}  // namespace skylark
