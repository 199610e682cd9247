#include "platform/pulse/audio_clock.hpp"

#include <gtest/gtest.h>

namespace skylark::pulse {
namespace {

using namespace std::chrono_literals;
using ns = std::chrono::nanoseconds;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kTenMs = 480;

TEST(AudioClock, TimesFollowTheFrameCountFromTheFirstEstimate) {
    AudioClock clock(kRate);
    clock.advance(kTenMs, 1000ms);
    clock.advance(kTenMs, 1010ms);
    EXPECT_EQ(clock.timeOf(0), 1000ms);
    EXPECT_EQ(clock.timeOf(kTenMs), 1010ms);
    EXPECT_EQ(clock.timeOf(kRate), 2000ms);
    EXPECT_EQ(clock.end(), 1020ms);
}

TEST(AudioClock, SmallDifferencesAreSlewedEarlierFasterThanLater) {
    AudioClock early(kRate);
    early.advance(kTenMs, 1000ms);
    early.advance(kTenMs, 1010ms - 5ms);  // the line runs 5 ms late
    EXPECT_EQ(early.timeOf(0), 1000ms - AudioClock::kSlewEarlier);

    AudioClock late(kRate);
    late.advance(kTenMs, 1000ms);
    late.advance(kTenMs, 1010ms + 5ms);  // a reader that woke 5 ms late
    EXPECT_EQ(late.timeOf(0), 1000ms + AudioClock::kSlewLater);
}

TEST(AudioClock, APersistentLargeOffsetIsJumpedOverButASingleOneIsNot) {
    AudioClock clock(kRate);
    clock.advance(kTenMs, 700ms);  // a stale first report: 300 ms too early
    for (int i = 1; i < AudioClock::kJumpAfter; ++i) {
        clock.advance(kTenMs, 1000ms + 10ms * i);
        EXPECT_LT(clock.timeOf(0), 701ms) << "jumped after " << i << " estimates";
    }
    clock.advance(kTenMs, 1000ms + 10ms * AudioClock::kJumpAfter);
    EXPECT_EQ(clock.timeOf(kTenMs * AudioClock::kJumpAfter),
              1000ms + 10ms * AudioClock::kJumpAfter);

    // One outlier in between resets the count.
    AudioClock steady(kRate);
    steady.advance(kTenMs, 1000ms);
    steady.advance(kTenMs, 1500ms);
    steady.advance(kTenMs, 1020ms);
    steady.advance(kTenMs, 1530ms);
    EXPECT_LT(steady.timeOf(0), 1001ms);
}

TEST(AudioClock, OnceSettledOnlyRealGapsAreJumpedOver) {
    AudioClock clock(kRate);
    int n = 0;
    auto feed = [&](ns late) {
        clock.advance(kTenMs, 1000ms + 10ms * n + late);
        ++n;
    };
    for (int i = 0; i <= AudioClock::kSettlingUpdates; ++i) {
        feed(0ms);
    }
    // A reader woken 100 ms late for a while: the frame count is trusted, the line barely moves.
    for (int i = 0; i < 10; ++i) {
        feed(100ms);
    }
    EXPECT_LE(clock.timeOf(0), 1000ms + 10 * AudioClock::kSlewLater);
    // Half a second of nothing (a suspended source): the line moves on with the clock.
    for (int i = 0; i < AudioClock::kJumpAfter; ++i) {
        feed(500ms);
    }
    EXPECT_EQ(clock.timeOf(kTenMs * uint64_t(n - 1)), 1000ms + 10ms * (n - 1) + 500ms);
}

TEST(AudioClock, RestartBeginsANewLineAtTheNextEstimate) {
    AudioClock clock(kRate);
    clock.advance(kTenMs, 1000ms);
    clock.restart();
    clock.advance(kTenMs, 5000ms);  // after lost data
    EXPECT_EQ(clock.timeOf(kTenMs), 5000ms);
    EXPECT_EQ(clock.end(), 5010ms);
}

TEST(AudioClock, LongCastsDoNotOverflow) {
    AudioClock clock(kRate);
    clock.advance(kTenMs, 1000ms);
    const uint64_t weekOfFrames = uint64_t{kRate} * 3600 * 24 * 7;
    EXPECT_EQ(clock.timeOf(weekOfFrames), 1000ms + std::chrono::hours(24 * 7));
}

}  // namespace
}  // namespace skylark::pulse
