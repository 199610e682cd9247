#include "caster/cast_recipe.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace skylark {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct SizeCase {
    double width, height, scale;
    EncodingSize expected;
};

TEST(CastRecipe, EncodingSizesAndTheSettingsThatCarryThem) {
    const SizeCase cases[] = {
        {1512, 982, 2, {3024, 1964, 1920, 1246}},  // a HiDPI laptop
        {2560, 1440, 1, {2560, 1440, 1920, 1080}},
        {801, 601, 1, {801, 601, 800, 600}},  // odd sizes made even
        {1919, 1080, 1, {1919, 1080, 1918, 1078}},
        {500, 3000, 1, {500, 3000, 500, 3000}},  // no ceiling on the height
        {0.4, 0.3, 1, {2, 2, 2, 2}},
        {100.9, 50.9, 1.5, {151, 76, 150, 74}},
        {1920, 1, 1, {1920, 2, 1920, 2}},
        {kNaN, 100, 1, {2, 100, 2, 100}},
        {100, 100, -1, {2, 2, 2, 2}},
        {1, kInf, 1, {2, 1099511627776, 2, 1099511627776}},
    };
    for (const SizeCase& c : cases) {
        const CastRecipe recipe = castRecipe({c.width, c.height}, c.scale);
        EXPECT_EQ(recipe.size, c.expected) << c.width << "x" << c.height << " at " << c.scale;
        // The capture delivers what the writer encodes.
        EXPECT_EQ(recipe.stream.width, recipe.writer.width);
        EXPECT_EQ(recipe.stream.height, recipe.writer.height);
        EXPECT_EQ(recipe.stream.width, c.expected.width);
        EXPECT_EQ(recipe.stream.sampleRate, recipe.writer.audio_rate_hz);
        EXPECT_EQ(recipe.stream.channelCount, recipe.writer.audio_channels);
        EXPECT_EQ(recipe.writer.segment_interval, kCast.segment_interval);
    }
}

}  // namespace
}  // namespace skylark
