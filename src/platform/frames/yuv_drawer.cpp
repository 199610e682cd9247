#include "platform/frames/yuv_drawer.hpp"

#include "platform/frames/yuv_convert.hpp"

namespace skylark::frames {

std::shared_ptr<const YuvPicture> YuvDrawer::draw(const PixelView& pixels,
                                                  const std::vector<RowSpan>* changed,
                                                  std::shared_ptr<YuvPicture> picture) {
    const bool direct = pixels.width == width_ && pixels.height == height_;
    const bool sameSource = previous_ && pixels.width == previousWidth_ &&
                            pixels.height == previousHeight_ && pixels.order == previousOrder_;
    previousWidth_ = pixels.width;
    previousHeight_ = pixels.height;
    previousOrder_ = pixels.order;
    if (changed && sameSource) {
        if (changed->empty()) {
            return previous_;
        }
        if (direct) {
            updateYuv(pixels, *changed, *previous_, *picture);
            return previous_ = std::move(picture);
        }
    }
    if (direct) {
        convertToYuv(pixels, *picture);
    } else {
        if (!scaled_) {
            scaled_ = std::make_unique<Picture>(width_, height_);
        }
        scaler_.draw(pixels, *scaled_);
        convertToYuv({scaled_->data(), width_, height_, scaled_->stride(), ChannelOrder::bgrx},
                     *picture);
    }
    return previous_ = std::move(picture);
}

}  // namespace skylark::frames
