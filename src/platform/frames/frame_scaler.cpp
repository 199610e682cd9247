#include "platform/frames/frame_scaler.hpp"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace skylark::frames {
namespace {

constexpr uint32_t kOpaque = 0xff000000u;

void copyOpaque(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                uint32_t width, uint32_t height, ChannelOrder order) {
    for (uint32_t y = 0; y < height; ++y) {
        const auto* s = reinterpret_cast<const uint32_t*>(src + srcStride * y);
        auto* d = reinterpret_cast<uint32_t*>(dst + dstStride * y);
        if (order == ChannelOrder::bgrx) {
            for (uint32_t x = 0; x < width; ++x) {
                d[x] = s[x] | kOpaque;
            }
        } else {
            // Little-endian words: R in the low byte becomes B's place and back.
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t p = s[x];
                d[x] = (p & 0x0000ff00u) | ((p & 0xffu) << 16) | ((p >> 16) & 0xffu) | kOpaque;
            }
        }
    }
}

// Each target pixel is the mean of a 2x2 block: as sharp as a good filter for text at exactly
// half size, at a fraction of a general scaler's cost.
void halve(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, uint32_t width,
           uint32_t height, ChannelOrder order) {
    const int blue = order == ChannelOrder::bgrx ? 0 : 2;
    const int red = 2 - blue;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* a = src + srcStride * (2 * y);
        const uint8_t* b = a + srcStride;
        uint8_t* d = dst + dstStride * y;
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = a + 8 * x;
            const uint8_t* q = b + 8 * x;
            d[4 * x + 0] =
                static_cast<uint8_t>((p[blue] + p[blue + 4] + q[blue] + q[blue + 4] + 2) >> 2);
            d[4 * x + 1] = static_cast<uint8_t>((p[1] + p[5] + q[1] + q[5] + 2) >> 2);
            d[4 * x + 2] =
                static_cast<uint8_t>((p[red] + p[red + 4] + q[red] + q[red + 4] + 2) >> 2);
            d[4 * x + 3] = 0xff;
        }
    }
}

void fillBlack(Picture& target, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
    for (uint32_t row = y; row < y + height; ++row) {
        auto* d = reinterpret_cast<uint32_t*>(target.data() + target.stride() * row) + x;
        std::fill(d, d + width, kOpaque);
    }
}

}  // namespace

void FrameScaler::FreeSws::operator()(SwsContext* c) const {
    sws_freeContext(c);
}

FrameScaler::FrameScaler(uint32_t width, uint32_t height) : width_(width), height_(height) {}

FrameScaler::~FrameScaler() = default;

FrameScaler::Placement FrameScaler::place(uint32_t sourceWidth, uint32_t sourceHeight) const {
    // Fit by the tighter side, in integers to stay exact.
    uint64_t w = width_;
    uint64_t h = uint64_t{sourceHeight} * width_ / sourceWidth;
    if (h > height_) {
        h = height_;
        w = uint64_t{sourceWidth} * height_ / sourceHeight;
    }
    constexpr uint64_t kSlack = 4;
    if (width_ - w <= kSlack && height_ - h <= kSlack) {
        return {0, 0, width_, height_};
    }
    w = std::max<uint64_t>(w & ~uint64_t{1}, 2);
    h = std::max<uint64_t>(h & ~uint64_t{1}, 2);
    // Bars on the sides start the picture on a 16-pixel column, which keeps swscale's rows
    // aligned.
    const uint64_t x = (width_ - w) / 2 / 16 * 16;
    return {static_cast<uint32_t>(x), static_cast<uint32_t>((height_ - h) / 2),
            static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
}

void FrameScaler::prepare(uint32_t sourceWidth, uint32_t sourceHeight, ChannelOrder order) {
    if (sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_ && order == sourceOrder_) {
        return;
    }
    sourceWidth_ = sourceWidth;
    sourceHeight_ = sourceHeight;
    sourceOrder_ = order;
    placement_ = place(sourceWidth, sourceHeight);
    sws_.reset();
    const bool direct = placement_.width == sourceWidth && placement_.height == sourceHeight;
    const bool half = placement_.width * 2 == sourceWidth && placement_.height * 2 == sourceHeight;
    if (!direct && !half) {
        // BGR0 (or RGB0) in, BGRA out: swscale writes an opaque alpha.
        sws_.reset(sws_getContext(static_cast<int>(sourceWidth), static_cast<int>(sourceHeight),
                                  order == ChannelOrder::bgrx ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_RGB0,
                                  static_cast<int>(placement_.width),
                                  static_cast<int>(placement_.height), AV_PIX_FMT_BGRA,
                                  SWS_BILINEAR, nullptr, nullptr, nullptr));
    }
}

void FrameScaler::draw(const PixelView& source, Picture& target) {
    prepare(source.width, source.height, source.order);
    const Placement& p = placement_;
    // Bars first, every time: pictures come from a pool and may hold another shape's frame.
    if (p.width != width_ || p.height != height_) {
        fillBlack(target, 0, 0, width_, p.y);
        fillBlack(target, 0, p.y + p.height, width_, height_ - p.y - p.height);
        fillBlack(target, 0, p.y, p.x, p.height);
        fillBlack(target, p.x + p.width, p.y, width_ - p.x - p.width, p.height);
    }
    uint8_t* dst = target.data() + target.stride() * p.y + size_t{p.x} * 4;
    if (p.width == source.width && p.height == source.height) {
        copyOpaque(source.data, source.stride, dst, target.stride(), p.width, p.height,
                   source.order);
    } else if (p.width * 2 == source.width && p.height * 2 == source.height) {
        halve(source.data, source.stride, dst, target.stride(), p.width, p.height, source.order);
    } else if (sws_) {
        const uint8_t* srcPlanes[4] = {source.data, nullptr, nullptr, nullptr};
        const int srcStrides[4] = {static_cast<int>(source.stride), 0, 0, 0};
        uint8_t* dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
        const int dstStrides[4] = {static_cast<int>(target.stride()), 0, 0, 0};
        sws_scale(sws_.get(), srcPlanes, srcStrides, 0, static_cast<int>(source.height), dstPlanes,
                  dstStrides);
    } else {
        fillBlack(target, p.x, p.y, p.width, p.height);
    }
}

}  // namespace skylark::frames
