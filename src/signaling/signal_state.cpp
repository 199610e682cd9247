#include "signaling/signal_state.hpp"

#include <string>

namespace skylark {

void SignalState::reset() {
    std::lock_guard guard(lock_);
    offer_.reset();
    answer_.reset();
}

void SignalState::setOffer(ByteBuffer offer) {
    std::lock_guard guard(lock_);
    offer_ = std::move(offer);
    answer_.reset();
}

void SignalState::setAnswer(ByteBuffer answer) {
    std::lock_guard guard(lock_);
    answer_ = std::move(answer);
}

ByteBuffer SignalState::getOffer() const {
    std::lock_guard guard(lock_);
    return offer_;
}

ByteBuffer SignalState::getAnswer() const {
    std::lock_guard guard(lock_);
    return answer_;
}

void SignalState::requestStop() {
    std::lock_guard guard(lock_);
    // The counter wraps instead of overflowing (undefined behaviour); it will not get there.
    stopToken_ = static_cast<std::int64_t>(static_cast<std::uint64_t>(stopToken_) + 1);
    offer_.reset();
    answer_.reset();
}

ByteBuffer SignalState::command() const {
    std::int64_t token;
    {
        std::lock_guard guard(lock_);
        token = stopToken_;
    }
    return makeBuffer("{\"stopToken\":" + std::to_string(token) + "}");
}

}  // namespace skylark
