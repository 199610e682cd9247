#pragma once

#include <cstdint>
#include <memory>

#include "platform/frames/picture.hpp"

struct SwsContext;

namespace skylark::frames {

// Draws grabbed pixels into pictures of one fixed size. Same size: a copy that makes alpha
// opaque. Exactly twice the size: a 2x2 average. Otherwise libswscale, keeping the source's
// aspect ratio with black bars (a window may change shape while it is shared). Sources within
// a few pixels of the target's shape are stretched instead of getting hairline bars. Sources in
// R, G, B order are swapped to B, G, R in the same pass.
class FrameScaler {
  public:
    FrameScaler(uint32_t width, uint32_t height);
    ~FrameScaler();
    FrameScaler(const FrameScaler&) = delete;
    FrameScaler& operator=(const FrameScaler&) = delete;

    void draw(const PixelView& source, Picture& target);

  private:
    struct Placement {
        uint32_t x = 0, y = 0, width = 0, height = 0;
    };
    Placement place(uint32_t sourceWidth, uint32_t sourceHeight) const;
    void prepare(uint32_t sourceWidth, uint32_t sourceHeight, ChannelOrder order);

    struct FreeSws {
        void operator()(SwsContext* c) const;
    };
    uint32_t width_;
    uint32_t height_;
    uint32_t sourceWidth_ = 0;
    uint32_t sourceHeight_ = 0;
    ChannelOrder sourceOrder_ = ChannelOrder::bgrx;
    Placement placement_;
    std::unique_ptr<SwsContext, FreeSws> sws_;
};

}  // namespace skylark::frames
