// Which rows of a compositor's buffer changed: its damage clipped to the crop, counted from the
// crop's top, merged, ended by the first empty region; nothing new when it misses the crop. Rows
// lie a stride apart, packed when the stride reported is too short for one, and inside memory.
#include "platform/pipewire/buffer_content.hpp"

#include <gtest/gtest.h>
#include <spa/buffer/meta.h>

namespace skylark::pipewire {
namespace {

using Rows = std::optional<std::vector<frames::RowSpan>>;

TEST(BufferContent, DamageBecomesTheCropsChangedRows) {
    struct Row {
        std::vector<spa_meta_region> damage;  // none: no damage metadata
        Rows changed;                         // nothing: unknown; no rows: no new content
        int32_t stride = 64 * 4;
    } const rows[] = {
        {{}, std::nullopt},
        {{{{{0, 0}, {64, 48}}}}, Rows{{{0, 24}}}},
        {{{{{10, 22}, {4, 6}}}, {{{10, 20}, {4, 4}}}, {{{9, 38}, {4, 20}}}},
         Rows{{{4, 12}, {22, 24}}}},
        {{{{{0, 0}, {8, 48}}}, {{{10, 0}, {4, 16}}}, {{{40, 0}, {4, 48}}}}, Rows(std::in_place)},
        {{{{{10, 20}, {0, 4}}}, {{{10, 20}, {4, 4}}}}, Rows(std::in_place)},
        {{}, std::nullopt, 64},
        {{}, Rows(std::in_place), 80 * 4},
    };
    std::vector<uint8_t> pixels(64 * 48 * 4);  // cropped to 32x24 from (8, 16)
    spa_chunk chunk{0, uint32_t(pixels.size()), 64 * 4, 0};
    spa_data data{SPA_DATA_MemPtr, 0, 0, 0, uint32_t(pixels.size()), pixels.data(), &chunk};
    spa_meta_region crop{{{8, 16}, {32, 24}}};
    for (Row r : rows) {
        chunk.stride = r.stride;
        spa_meta metas[] = {
            {SPA_META_VideoCrop, sizeof crop, &crop},
            {SPA_META_VideoDamage, uint32_t(r.damage.size() * sizeof crop), r.damage.data()}};
        const spa_buffer buffer{r.damage.empty() ? 1u : 2u, 1, metas, &data};
        const auto content = newContent(&buffer, 64, 48, frames::ChannelOrder::bgrx);
        EXPECT_TRUE(content ? content->changed == r.changed : r.changed == Rows(std::in_place));
        EXPECT_TRUE(!content || content->pixels.data == pixels.data() + 16 * 256 + 32);
    }
}

}  // namespace
}  // namespace skylark::pipewire
