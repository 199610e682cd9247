#include "platform/pipewire/buffer_content.hpp"

#include <spa/buffer/meta.h>

#include <algorithm>

#include "platform/frames/yuv_convert.hpp"

namespace skylark::pipewire {
namespace {

// The rows of the crop that the buffer's damage touches, counted from the crop's top; nothing
// without damage metadata. The regions end at the first invalid one.
std::optional<std::vector<frames::RowSpan>> damagedRows(const spa_buffer* buffer, uint32_t left,
                                                        uint32_t top, uint32_t width,
                                                        uint32_t height) {
    spa_meta* damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!damage) {
        return std::nullopt;
    }
    std::vector<frames::RowSpan> rows;
    spa_meta_region* region;
    spa_meta_for_each(region, damage) {
        if (!spa_meta_region_is_valid(region)) {
            break;
        }
        const spa_region& r = region->region;
        const int64_t from = std::max<int64_t>(r.position.y - int64_t{top}, 0);
        const int64_t to = std::min<int64_t>(r.position.y + int64_t{r.size.height} - top, height);
        const bool across =
            r.position.x < int64_t{left} + width && r.position.x + int64_t{r.size.width} > left;
        if (across && from < to) {
            rows.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(to)});
        }
    }
    frames::mergeRows(rows);
    return rows;
}

}  // namespace

std::optional<BufferContent> newContent(const spa_buffer* b, uint32_t sourceWidth,
                                        uint32_t sourceHeight, frames::ChannelOrder order) {
    if (b->n_datas < 1 || sourceWidth == 0 || sourceHeight == 0) {
        return std::nullopt;
    }
    const spa_data& d = b->datas[0];
    const spa_chunk* chunk = d.chunk;
    auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
    const bool corrupted = (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 ||
                           (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0);
    if (!d.data || chunk->size == 0 || corrupted) {
        return std::nullopt;
    }
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t width = sourceWidth;
    uint32_t height = sourceHeight;
    auto* crop = static_cast<const spa_meta_region*>(
        spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    if (crop && spa_meta_region_is_valid(crop) && crop->region.position.x >= 0 &&
        crop->region.position.y >= 0 &&
        crop->region.position.x + crop->region.size.width <= sourceWidth &&
        crop->region.position.y + crop->region.size.height <= sourceHeight) {
        x = static_cast<uint32_t>(crop->region.position.x);
        y = static_cast<uint32_t>(crop->region.position.y);
        width = crop->region.size.width;
        height = crop->region.size.height;
    }
    // A stride too short for a row cannot be the buffer's: mutter 48 reports one (as many bytes
    // as the screen is pixels wide) for some of its buffers, whose rows are packed all the same.
    // Their rows, like rows of no reported stride, are read packed: skipping those buffers would
    // leave the cast on an older picture until the screen changes again.
    const size_t packed = size_t{sourceWidth} * 4;
    const size_t stride = chunk->stride > 0 && static_cast<size_t>(chunk->stride) >= packed
                              ? static_cast<size_t>(chunk->stride)
                              : packed;
    const size_t offset = chunk->offset % std::max<uint32_t>(d.maxsize, 1);
    const size_t first = offset + stride * y + size_t{x} * 4;
    const size_t needed = first + stride * (height - 1) + size_t{width} * 4;
    if (needed > d.maxsize) {
        return std::nullopt;
    }
    BufferContent content;
    content.changed = damagedRows(b, x, y, width, height);
    if (content.changed && content.changed->empty()) {
        return std::nullopt;
    }
    content.pixels = {static_cast<const uint8_t*>(d.data) + first, width, height, stride, order};
    content.left = x;
    content.top = y;
    return content;
}

}  // namespace skylark::pipewire
