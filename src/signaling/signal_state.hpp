#pragma once

#include <cstdint>
#include <mutex>

#include "common/bytes.hpp"

namespace skylark {

// The relay through which the sender and TV pages exchange their WebRTC offer and answer, and
// through which the menu tells them to stop. Offer and answer are opaque bytes, never parsed.
// Every operation is safe from any thread: one lock guards all fields for the whole operation.
class SignalState {
public:
    // Clears offer and answer; the stop counter stays.
    void reset();
    // Stores a new offer and clears any answer, which belonged to the previous offer.
    void setOffer(ByteBuffer offer);
    // Stores an answer, with or without an offer.
    void setAnswer(ByteBuffer answer);
    ByteBuffer getOffer() const;
    ByteBuffer getAnswer() const;
    // Raises the stop counter and clears offer and answer in one step.
    void requestStop();
    // {"stopToken":N}
    ByteBuffer command() const;

private:
    mutable std::mutex lock_;
    ByteBuffer offer_;
    ByteBuffer answer_;
    std::int64_t stopToken_ = 0;
};

}  // namespace skylark
