#pragma once

// Which buffers from the compositor carry new content, where their pixels are, and which of
// their rows changed.
#include <spa/buffer/buffer.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/frames/picture.hpp"

namespace skylark::pipewire {

struct BufferContent {
    frames::PixelView pixels;
    uint32_t left = 0;  // where the crop starts in the frame
    uint32_t top = 0;
    // The rows of `pixels` the compositor reports damaged (merged, in order), or nothing when
    // it reports no damage.
    std::optional<std::vector<frames::RowSpan>> changed;
};

// The pixels of `buffer` (a `width` x `height` frame in `order`), cropped as its metadata says,
// when it carries new content: it has data, is not marked corrupted, its damage (when reported)
// is not empty, and its rows lie inside the mapped memory (packed when the stride reported is
// too short for a row). Otherwise nothing.
std::optional<BufferContent> newContent(const spa_buffer* buffer, uint32_t width, uint32_t height,
                                        frames::ChannelOrder order);

}  // namespace skylark::pipewire
