#include "caster/encoding_size.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace skylark {
namespace {

struct SizeCase {
    const char* name;
    double width;
    double height;
    double scale;
    EncodingSize expected;
};

class EncodingSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(EncodingSizeTest, FollowsTheRules) {
    const auto& c = GetParam();
    EXPECT_EQ(computeEncodingSize(c.width, c.height, c.scale), c.expected);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Part54, EncodingSizeTest,
    ::testing::Values(
        SizeCase{"RetinaDisplay", 1512, 982, 2, {3024, 1964, 1920, 1246}},
        SizeCase{"WideDisplay", 2560, 1440, 1, {2560, 1440, 1920, 1080}},
        SizeCase{"OddWindowTruncatesHeight", 801, 601, 1, {801, 601, 800, 600}},
        SizeCase{"OddWidthBelowTheCeiling", 1919, 1080, 1, {1919, 1080, 1918, 1078}},
        SizeCase{"TallWindowHasNoHeightCeiling", 500, 3000, 1, {500, 3000, 500, 3000}},
        SizeCase{"SubPixelWindow", 0.4, 0.3, 1, {2, 2, 2, 2}},
        SizeCase{"FractionalPointsTruncate", 100.9, 50.9, 1.5, {151, 76, 150, 74}},
        SizeCase{"ThinStripKeepsTwo", 1920, 1, 1, {1920, 2, 1920, 2}},
        SizeCase{"NotANumber", kNaN, 100, 1, {2, 100, 2, 100}},
        SizeCase{"NegativeScale", 100, 100, -1, {2, 2, 2, 2}},
        SizeCase{"InfiniteIsClamped", 1, kInf, 1, {2, 1099511627776, 2, 1099511627776}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skylark
