#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/frames/frame_scaler.hpp"
#include "platform/frames/picture.hpp"

namespace skylark::frames {

// Makes the encoder's pictures of one fixed size from captured pixels, keeping the last one.
// Pixels of that size go straight into the picture; when the capture knows which rows changed
// since the previous picture's pixels, only those are converted and the rest copied, and when
// nothing changed the previous picture itself is the answer. Other sizes are scaled (with the
// scaler's bars) and converted whole. A change of the pixels' size or order converts whole.
//
// Threads: one capture thread.
class YuvDrawer {
  public:
    YuvDrawer(uint32_t width, uint32_t height)
        : width_(width), height_(height), scaler_(width, height) {}

    // `changed`: the rows that differ from the pixels the previous picture was made of (in
    // order, not overlapping), or null when unknown. Returns `picture`, drawn, or the previous
    // picture (and `picture` goes back to its pool).
    std::shared_ptr<const YuvPicture> draw(const PixelView& pixels,
                                           const std::vector<RowSpan>* changed,
                                           std::shared_ptr<YuvPicture> picture);

  private:
    const uint32_t width_;
    const uint32_t height_;
    FrameScaler scaler_;
    std::unique_ptr<Picture> scaled_;  // made the first time pixels need scaling
    std::shared_ptr<const YuvPicture> previous_;
    uint32_t previousWidth_ = 0;
    uint32_t previousHeight_ = 0;
    ChannelOrder previousOrder_ = ChannelOrder::bgrx;
};

}  // namespace skylark::frames
