#include "common/media_time.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace skylark {
namespace {

constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();

struct CompareCase {
    MediaTime a;
    MediaTime b;
    int expected;
};

class MediaTimeCompare : public ::testing::TestWithParam<CompareCase> {};

TEST_P(MediaTimeCompare, OrdersAndIsAntisymmetric) {
    const auto& c = GetParam();
    EXPECT_EQ(compare(c.a, c.b), c.expected);
    EXPECT_EQ(compare(c.b, c.a), -c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MediaTimeCompare,
    ::testing::Values(
        // Equal values in different timescales.
        CompareCase{MediaTime::make(1, 4), MediaTime::make(150, 600), 0},
        CompareCase{MediaTime::make(48000, 48000), MediaTime::make(1000, 1000), 0},
        CompareCase{MediaTime::make(999, 1000), MediaTime::make(1, 1), -1},
        CompareCase{MediaTime::make(-1, 3), MediaTime::make(0, 1), -1},
        // Products that overflow 64 bits: kMax64/kMax32 against kMax64/(kMax32-1).
        CompareCase{MediaTime::make(kMax64, kMax32), MediaTime::make(kMax64, kMax32 - 1), -1},
        CompareCase{MediaTime::make(kMin64, kMax32), MediaTime::make(kMin64, 1), 1},
        CompareCase{MediaTime::make(kMax64, 1), MediaTime::make(kMax64 - 1, 1), 1},
        CompareCase{MediaTime::make(kMax64, kMax32), MediaTime::make(kMax64, kMax32), 0},
        // Epochs come before values.
        CompareCase{MediaTime{5, 1, MediaTime::kValid, 0}, MediaTime{1, 1, MediaTime::kValid, 1},
                    -1},
        // The order of kinds: -inf < numeric < indefinite < +inf < invalid.
        CompareCase{MediaTime::negativeInfinity(), MediaTime::make(kMin64, 1), -1},
        CompareCase{MediaTime::make(kMax64, 1), MediaTime::indefinite(), -1},
        CompareCase{MediaTime::indefinite(), MediaTime::positiveInfinity(), -1},
        CompareCase{MediaTime::positiveInfinity(), MediaTime::invalid(), -1},
        CompareCase{MediaTime::invalid(), MediaTime::invalid(), 0},
        CompareCase{MediaTime::positiveInfinity(), MediaTime::positiveInfinity(), 0},
        CompareCase{MediaTime::negativeInfinity(), MediaTime::negativeInfinity(), 0},
        // A valid flag with a timescale of zero is not a valid time.
        CompareCase{MediaTime{1, 0, MediaTime::kValid, 0}, MediaTime::invalid(), 0}));

TEST(MediaTime, FromSeconds) {
    const MediaTime quarter = MediaTime::fromSeconds(0.25, 600);
    EXPECT_EQ(quarter.value, 150);
    EXPECT_EQ(quarter.timescale, 600);
    EXPECT_EQ(quarter.flags, MediaTime::kValid);
    EXPECT_EQ(quarter.epoch, 0);
    const MediaTime rounded = MediaTime::fromSeconds(1.0 / 7.0, 600);
    EXPECT_EQ(rounded.value, 86);
    EXPECT_NE(rounded.flags & MediaTime::kHasBeenRounded, 0u);
    EXPECT_FALSE(MediaTime::fromSeconds(std::numeric_limits<double>::quiet_NaN(), 600).isValid());
    EXPECT_EQ(compare(MediaTime::fromSeconds(std::numeric_limits<double>::infinity(), 600),
                      MediaTime::positiveInfinity()),
              0);
    EXPECT_FALSE(MediaTime::fromSeconds(1, 0).isValid());
    // Too large for the preferred timescale: a coarser one, marked rounded.
    const MediaTime huge = MediaTime::fromSeconds(1e16, 1000000000);
    EXPECT_TRUE(huge.isNumeric());
    EXPECT_NEAR(huge.seconds(), 1e16, 1e6);
}

TEST(MediaTime, Seconds) {
    EXPECT_EQ(MediaTime::make(150, 600).seconds(), 0.25);
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_TRUE(std::isinf(MediaTime::negativeInfinity().seconds()));
}

}  // namespace
}  // namespace skylark
