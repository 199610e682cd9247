#include "platform/frames/yuv_convert.hpp"

#include <algorithm>
#include <cstring>

#include <libyuv/convert.h>

namespace skylark::frames {
namespace {

// Rows [top, bottom) of `source` into the same rows of `target`; `top` is even.
void convertRows(const PixelView& source, uint32_t top, uint32_t bottom, YuvPicture& target) {
    const uint8_t* src = source.data + source.stride * top;
    const auto srcStride = static_cast<int>(source.stride);
    const auto stride = static_cast<int>(target.stride());
    const auto chromaStride = static_cast<int>(target.chromaStride());
    uint8_t* y = target.plane(0) + target.stride() * top;
    uint8_t* u = target.plane(1) + target.chromaStride() * (top / 2);
    uint8_t* v = target.plane(2) + target.chromaStride() * (top / 2);
    const auto width = static_cast<int>(target.width());
    const auto height = static_cast<int>(bottom - top);
    if (source.order == ChannelOrder::bgrx) {
        libyuv::ARGBToI420(src, srcStride, y, stride, u, chromaStride, v, chromaStride, width,
                           height);
    } else {
        libyuv::ABGRToI420(src, srcStride, y, stride, u, chromaStride, v, chromaStride, width,
                           height);
    }
}

// Rows [top, bottom) of `previous` into `target`, chroma rows with them; `top` is even.
void copyRows(const YuvPicture& previous, uint32_t top, uint32_t bottom, YuvPicture& target) {
    if (top >= bottom) {
        return;
    }
    std::memcpy(target.plane(0) + target.stride() * top,
                previous.plane(0) + previous.stride() * top, target.stride() * (bottom - top));
    const size_t chromaTop = target.chromaStride() * (top / 2);
    const size_t chromaBytes = target.chromaStride() * ((bottom + 1) / 2 - top / 2);
    for (int plane = 1; plane < 3; ++plane) {
        std::memcpy(target.plane(plane) + chromaTop, previous.plane(plane) + chromaTop,
                    chromaBytes);
    }
}

}  // namespace

void convertToYuv(const PixelView& source, YuvPicture& target) {
    convertRows(source, 0, target.height(), target);
}

void updateYuv(const PixelView& source, const std::vector<RowSpan>& changed,
               const YuvPicture& previous, YuvPicture& target) {
    const uint32_t height = target.height();
    uint32_t done = 0;  // rows before this are in `target`; always even
    for (const RowSpan& span : changed) {
        // Whole chroma rows: a change in either of a pair's rows changes their chroma.
        const uint32_t top = std::max(span.top & ~1u, done);
        const uint32_t bottom = std::min((span.bottom + 1) & ~1u, height);
        if (top >= bottom) {
            continue;
        }
        copyRows(previous, done, top, target);
        convertRows(source, top, bottom, target);
        done = std::min(bottom, height);
        if (done % 2 != 0) {
            return;  // the odd last row, converted
        }
    }
    copyRows(previous, done, height, target);
}

void mergeRows(std::vector<RowSpan>& rows) {
    std::sort(rows.begin(), rows.end(),
              [](const RowSpan& a, const RowSpan& b) { return a.top < b.top; });
    size_t kept = 0;
    for (const RowSpan& span : rows) {
        if (span.top >= span.bottom) {
            continue;
        }
        if (kept > 0 && span.top <= rows[kept - 1].bottom) {
            rows[kept - 1].bottom = std::max(rows[kept - 1].bottom, span.bottom);
        } else {
            rows[kept++] = span;
        }
    }
    rows.resize(kept);
}

}  // namespace skylark::frames
