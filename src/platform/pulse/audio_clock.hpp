#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace skylark::pulse {

// Assigns capture times to a continuous stream of audio frames. Times advance with the frame
// count, so consecutive buffers butt against each other, while each delivery's estimate of
// when its first frame was captured (arrival time less reported latency) pulls the line
// towards the monotonic clock: small differences are slewed away a little at a time (the
// sound card's clock and ours drift apart; a busy machine wakes the reader late). Large
// differences that persist are jumped over: while the line settles after a (re)start, when
// the first latency reports can be stale, and later only for real gaps of a quarter second or
// more (a source that was suspended), since the frame count is otherwise the better clock.
class AudioClock {
  public:
    using ns = std::chrono::nanoseconds;

    explicit AudioClock(uint32_t sampleRate) : rate_(sampleRate) {}

    // Notes `frames` more frames whose first was captured at about `estimate`.
    void advance(uint32_t frames, ns estimate);

    // Makes the next advance() start a new line at its estimate (after lost data).
    void restart() {
        anchor_.reset();
        updates_ = 0;
        farInRow_ = 0;
    }

    // The capture time of the frame `framesFromStart` after the first one ever counted
    // (only meaningful after the first advance()).
    ns timeOf(uint64_t framesFromStart) const;

    // The time just after the last frame counted, where the line would continue.
    ns end() const { return timeOf(counted_); }

    bool started() const { return anchor_.has_value(); }

    static constexpr ns kSlewEarlier{200'000};  // 0.2 ms
    static constexpr ns kSlewLater{20'000};     // 0.02 ms: still 2 ms a second at 100 updates
    static constexpr int kSettlingUpdates = 25;
    static constexpr ns kSettlingJump{40'000'000};  // 40 ms
    static constexpr ns kGapJump{250'000'000};      // 250 ms
    static constexpr int kJumpAfter = 3;            // updates in a row beyond the threshold

  private:
    ns durationOf(uint64_t frames) const {
        return ns(static_cast<int64_t>(frames / rate_ * 1'000'000'000ull +
                                       frames % rate_ * 1'000'000'000ull / rate_));
    }

    uint32_t rate_;
    std::optional<ns> anchor_;  // time of frame 0
    uint64_t counted_ = 0;
    int updates_ = 0;  // since the line was (re)started
    int farInRow_ = 0;
};

}  // namespace skylark::pulse
