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
    const int settled = C::kSettlingUpdates + 1, jump = C::kJumpAfter;
    const std::vector<ns> stale = {700ms};  // a first report 300 ms too early
    struct Row {
        const char* what;
        std::vector<ns> estimates;  // one per buffer of 480 frames
        uint64_t frame;
        ns expected, slack = 0ns;  // the time of `frame`, up to `slack` later
    } const rows[] = {
        {"on the line", line(2, 1000ms), 48000, 2000ms},
        {"runs 5 ms late", {1000ms, 1005ms}, 0, 1000ms - C::kSlewEarlier},
        {"woke 5 ms late", {1000ms, 1015ms}, 0, 1000ms + C::kSlewLater},
        {"stale, then persistently", stale + line(jump, 1010ms), 480 * jump, 1000ms + 10ms * jump},
        {"stale, not for long", stale + line(jump - 1, 1010ms), 0, 700ms, 1ms},
        {"one outlier between", {1000ms, 1500ms, 1020ms, 1530ms}, 0, 1000ms, 1ms},
        {"settled, woke 100 ms late",
         line(settled, 1000ms) + line(10, 1000ms + 10ms * settled, 100ms), 0, 1000ms,
         10 * C::kSlewLater},
        {"settled, a half-second gap",
         line(settled, 1000ms) + line(jump, 1000ms + 10ms * settled, 500ms),
         480 * uint64_t(settled), 1000ms + 10ms * settled + 500ms},
        {"restart after lost data", {1000ms, kRestart, 5000ms}, 480, 5000ms},
        {"a week", {1000ms}, 48000ull * 3600 * 24 * 7, 1000ms + 168h},
    };
    for (const Row& r : rows) {
        AudioClock clock(48000);
        for (ns estimate : r.estimates) {
            estimate == kRestart ? clock.restart() : clock.advance(480, estimate);
        }
        EXPECT_GE(clock.timeOf(r.frame), r.expected) << r.what;
        EXPECT_LE(clock.timeOf(r.frame), r.expected + r.slack) << r.what;
    }
}

}  // namespace
}  // namespace skylark::pulse
