#include "platform/pulse/audio_clock.hpp"

#include <algorithm>

namespace skylark::pulse {

void AudioClock::advance(uint32_t frames, ns estimate) {
    if (!anchor_) {
        anchor_ = estimate - durationOf(counted_);
        farInRow_ = 0;
    } else {
        const ns offset = estimate - timeOf(counted_);
        if (offset > kJumpThreshold || offset < -kJumpThreshold) {
            if (++farInRow_ >= kJumpAfter) {
                anchor_ = estimate - durationOf(counted_);
                farInRow_ = 0;
            }
        } else {
            farInRow_ = 0;
            *anchor_ += std::clamp(offset, -kSlewPerUpdate, kSlewPerUpdate);
        }
    }
    counted_ += frames;
}

AudioClock::ns AudioClock::timeOf(uint64_t framesFromStart) const {
    return anchor_.value_or(ns{0}) + durationOf(framesFromStart);
}

}  // namespace skylark::pulse
