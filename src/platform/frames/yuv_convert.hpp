#pragma once

#include <vector>

#include "platform/frames/picture.hpp"

// Grabbed 32-bit pixels to the encoder's YUV 4:2:0, in one SIMD pass (libyuv, BT.601 limited
// range as the stream is tagged).
namespace skylark::frames {

// Converts all of `source`, which has the size of `target`.
void convertToYuv(const PixelView& source, YuvPicture& target);

// The same, but converts only the rows in `changed` (in order, not overlapping; widened to
// whole chroma rows) and copies every other row from `previous`, the picture of the same
// source before those rows changed.
void updateYuv(const PixelView& source, const std::vector<RowSpan>& changed,
               const YuvPicture& previous, YuvPicture& target);

// Sorts `rows` and merges spans that overlap or touch.
void mergeRows(std::vector<RowSpan>& rows);

}  // namespace skylark::frames
