#include "common/media_time.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace skylark {
namespace {

TEST(MediaTime, CompareOrdersAcrossTimescalesOverflowAndKinds) {
    constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
    constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
    const struct {
        MediaTime a, b;
        int expected;
    } cases[] = {
        {MediaTime::make(1, 4), MediaTime::make(150, 600), 0},
        {MediaTime::make(-1, 3), MediaTime::make(0, 1), -1},
        // Cross products that overflow 64 bits.
        {MediaTime::make(kMax64, kMax32), MediaTime::make(kMax64, kMax32 - 1), -1},
        {MediaTime::make(kMin64, kMax32), MediaTime::make(kMin64, 1), 1},
        // The epoch weighs before the value.
        {MediaTime{5, 1, MediaTime::kValid, 0}, MediaTime{1, 1, MediaTime::kValid, 1}, -1},
        // -infinity < numeric < indefinite < +infinity < invalid.
        {MediaTime::negativeInfinity(), MediaTime::make(kMin64, 1), -1},
        {MediaTime::make(kMax64, 1), MediaTime::indefinite(), -1},
        {MediaTime::indefinite(), MediaTime::positiveInfinity(), -1},
        {MediaTime::positiveInfinity(), MediaTime::invalid(), -1},
        // A valid flag with a timescale of zero is still invalid.
        {MediaTime{1, 0, MediaTime::kValid, 0}, MediaTime::invalid(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare(c.a, c.b), c.expected) << c.a.value << "/" << c.a.timescale;
        EXPECT_EQ(compare(c.b, c.a), -c.expected) << c.b.value << "/" << c.b.timescale;
    }
}

}  // namespace
}  // namespace skylark
