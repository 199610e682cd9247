#pragma once

// Which buffers from the compositor carry new content, and where their pixels are.
#include <spa/buffer/buffer.h>

#include <cstdint>
#include <optional>

#include "platform/frames/picture.hpp"

namespace skylark::pipewire {

// The pixels of `buffer` (a `width` x `height` frame in `order`), cropped as its metadata says,
// when it carries new content: it has data, is not marked corrupted, its damage (when reported)
// is not empty, and its rows lie inside the mapped memory. Otherwise nothing.
std::optional<frames::PixelView> newContent(const spa_buffer* buffer, uint32_t width,
                                            uint32_t height, frames::ChannelOrder order);

}  // namespace skylark::pipewire
