#include "platform/pulse/audio_clock.hpp"

#include <gtest/gtest.h>

namespace skylark::pulse {
namespace {

using namespace std::chrono_literals;
using ns = std::chrono::nanoseconds;
using C = AudioClock;

constexpr ns kRestart = -1ns;  // in a row's estimates: restart() instead of an advance

// `count` estimates for consecutive 10 ms buffers from `first`, each `late` off the line.
std::vector<ns> line(int count, ns first, ns late = 0ns) {
    std::vector<ns> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(first + 10ms * i + late);
    }
    return out;
}

std::vector<ns> operator+(std::vector<ns> a, const std::vector<ns>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(AudioClock, TimesFollowTheFrameCountWhileEstimatesPullTheLineOnlyAsFarAsTheyShould) {
    const uint64_t week = 48000ull * 3600 * 24 * 7;
    const int settled = C::kSettlingUpdates + 1;
    struct Row {
        const char* what;
        std::vector<ns> estimates;  // one per buffer of 480 frames
        uint64_t frame;
        ns low, high;  // the time of `frame`
    } const rows[] = {
        {"on the line", line(2, 1000ms), 48000, 2000ms, 2000ms},
        {"runs 5 ms late: slewed earlier",
         {1000ms, 1005ms},
         0,
         1000ms - C::kSlewEarlier,
         1000ms - C::kSlewEarlier},
        {"woke 5 ms late: slewed later, slowly",
         {1000ms, 1015ms},
         0,
         1000ms + C::kSlewLater,
         1000ms + C::kSlewLater},
        {"stale first report: jumped once persistent",
         std::vector<ns>{700ms} + line(C::kJumpAfter, 1010ms), 480 * C::kJumpAfter,
         1000ms + 10ms * C::kJumpAfter, 1000ms + 10ms * C::kJumpAfter},
        {"stale, but not for long enough", std::vector<ns>{700ms} + line(C::kJumpAfter - 1, 1010ms),
         0, 700ms, 701ms},
        {"one outlier in between resets the count",
         {1000ms, 1500ms, 1020ms, 1530ms},
         0,
         1000ms,
         1001ms},
        {"settled: a reader 100 ms late barely moves it",
         line(settled, 1000ms) + line(10, 1000ms + 10ms * settled, 100ms), 0, 1000ms,
         1000ms + 10 * C::kSlewLater},
        {"settled: half a second of nothing is jumped over",
         line(settled, 1000ms) + line(C::kJumpAfter, 1000ms + 10ms * settled, 500ms),
         480 * uint64_t(settled), 1000ms + 10ms * settled + 500ms, 1000ms + 10ms * settled + 500ms},
        {"restart after lost data", {1000ms, kRestart, 5000ms}, 480, 5000ms, 5000ms},
        {"a week does not overflow", {1000ms}, week, 1000ms + 168h, 1000ms + 168h},
    };
    for (const Row& r : rows) {
        AudioClock clock(48000);
        for (ns estimate : r.estimates) {
            estimate == kRestart ? clock.restart() : clock.advance(480, estimate);
        }
        EXPECT_GE(clock.timeOf(r.frame), r.low) << r.what;
        EXPECT_LE(clock.timeOf(r.frame), r.high) << r.what;
    }
}

}  // namespace
}  // namespace skylark::pulse
