#include "platform/pulse/audio_clock.hpp"

#include <algorithm>

namespace skylark::pulse {

void AudioClock::advance(uint32_t frames, ns estimate) {
    if (!anchor_) {
        anchor_ = estimate - durationOf(counted_);
    } else {
        const ns offset = estimate - timeOf(counted_);
        const ns threshold = ++updates_ <= kSettlingUpdates ? kSettlingJump : kGapJump;
        if (offset > threshold || offset < -threshold) {
            if (++farInRow_ >= kJumpAfter) {
                anchor_ = estimate - durationOf(counted_);
                farInRow_ = 0;
            }
        } else {
            farInRow_ = 0;
            // Estimates run late by however long the reader took to wake, never early, so the
            // earliest ones are the truest: follow them down quickly and up slowly.
            *anchor_ += std::clamp(offset, -kSlewEarlier, kSlewLater);
        }
    }
    counted_ += frames;
}

AudioClock::ns AudioClock::timeOf(uint64_t framesFromStart) const {
    return anchor_.value_or(ns{0}) + durationOf(framesFromStart);
}

}  // namespace skylark::pulse
