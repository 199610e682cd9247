#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace skylark::frames {

// The byte order of 32-bit source pixels; the fourth byte is undefined in both.
enum class ChannelOrder { bgrx, rgbx };

// A view of 32-bit pixels laid out B, G, R, X (or R, G, B, X) in rows of `stride` bytes.
struct PixelView {
    const uint8_t* data = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t stride = 0;
    ChannelOrder order = ChannelOrder::bgrx;
};

// The scaler's 32-bit picture (B, G, R, A bytes with A = 255, rows of `stride` bytes), the step
// between a grab of another size and its YUV conversion; never delivered. The rows start on
// 64-byte boundaries for the vector code of the scaler.
class Picture {
  public:
    Picture(uint32_t width, uint32_t height)
        : width_(width),
          height_(height),
          stride_((size_t{width} * 4 + 63) / 64 * 64),
          pixels_(static_cast<uint8_t*>(std::aligned_alloc(64, stride_ * height + 64))) {}

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    size_t stride() const { return stride_; }
    const uint8_t* data() const { return pixels_.get(); }
    uint8_t* data() { return pixels_.get(); }
    const uint8_t* row(uint32_t y) const { return pixels_.get() + stride_ * y; }

  private:
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    uint32_t width_;
    uint32_t height_;
    size_t stride_;
    std::unique_ptr<uint8_t, Free> pixels_;
};

// A frame for the encoder: BT.601 limited-range YUV 4:2:0 in three planes (luma `width` x
// `height`, each chroma plane half that, rounded up), every row on a 64-byte boundary.
class YuvPicture {
  public:
    YuvPicture(uint32_t width, uint32_t height)
        : width_(width),
          height_(height),
          stride_((size_t{width} + 63) / 64 * 64),
          chromaStride_(((size_t{width} + 1) / 2 + 63) / 64 * 64),
          chromaPlane_(chromaStride_ * ((size_t{height} + 1) / 2)),
          bytes_(static_cast<uint8_t*>(
              std::aligned_alloc(64, stride_ * height + 2 * chromaPlane_ + 64))) {}

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    size_t stride() const { return stride_; }
    size_t chromaStride() const { return chromaStride_; }
    // Planes 0 (Y), 1 (U) and 2 (V).
    const uint8_t* plane(int i) const { return bytes_.get() + planeOffset(i); }
    uint8_t* plane(int i) { return bytes_.get() + planeOffset(i); }

  private:
    size_t planeOffset(int i) const {
        return i == 0 ? 0 : stride_ * height_ + (i == 2 ? chromaPlane_ : 0);
    }
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    uint32_t width_;
    uint32_t height_;
    size_t stride_;
    size_t chromaStride_;
    size_t chromaPlane_;
    std::unique_ptr<uint8_t, Free> bytes_;
};

// Rows [top, bottom) of a picture.
struct RowSpan {
    uint32_t top = 0;
    uint32_t bottom = 0;
    bool operator==(const RowSpan&) const = default;
};

}  // namespace skylark::frames
