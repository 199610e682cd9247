#include "caster/encoding_size.hpp"

#include <algorithm>
#include <cmath>

namespace skylark {

namespace {

constexpr double kLargestDimension = 1099511627776.0;  // 2^40 pixels: far beyond any screen

// A dimension in pixels: truncated toward zero, at least 2, never beyond kLargestDimension.
// Not-a-number and negative values give 2.
std::int64_t dimension(double pixels) {
    if (!(pixels >= 2.0)) {
        return 2;
    }
    return static_cast<std::int64_t>(std::trunc(std::min(pixels, kLargestDimension)));
}

}  // namespace

EncodingSize computeEncodingSize(double contentWidthPoints, double contentHeightPoints,
                                 double pixelsPerPoint) {
    EncodingSize size;
    size.sourceWidth = dimension(contentWidthPoints * pixelsPerPoint);
    size.sourceHeight = dimension(contentHeightPoints * pixelsPerPoint);
    size.width = std::min(kMaxEncodingWidth, size.sourceWidth);
    size.width -= size.width % 2;
    const double height = static_cast<double>(size.width) * static_cast<double>(size.sourceHeight) /
                          static_cast<double>(size.sourceWidth);
    size.height = dimension(height);
    size.height -= size.height % 2;
    return size;
}

}  // namespace skylark
