#include "caster/cast_lifecycle.hpp"

#include <utility>

namespace skylark {

std::optional<CastLifecycle::Refusal> CastLifecycle::refusal() const {
    std::lock_guard guard(lock_);
    if (casting_ || stopping_ || stream_) {
        return Refusal{casting_, stopping_};
    }
    return std::nullopt;
}

std::optional<std::uint64_t> CastLifecycle::accept() {
    std::lock_guard guard(lock_);
    if (casting_ || stopping_ || stream_) {
        return std::nullopt;
    }
    casting_ = true;
    return ++latestCast_;
}

bool CastLifecycle::abandoned(std::uint64_t cast) const {
    std::lock_guard guard(lock_);
    return abandonedLocked(cast);
}

bool CastLifecycle::adoptStream(std::uint64_t cast, std::shared_ptr<CaptureStream> stream) {
    std::lock_guard guard(lock_);
    if (abandonedLocked(cast)) {
        return false;
    }
    stream_ = std::move(stream);
    return true;
}

CastLifecycle::Standing CastLifecycle::standing(std::uint64_t cast) const {
    std::lock_guard guard(lock_);
    return Standing{abandonedLocked(cast), casting_};
}

CastLifecycle::Failed CastLifecycle::failStart(std::uint64_t cast) {
    std::lock_guard guard(lock_);
    if (abandonedLocked(cast)) {
        return Failed{true, nullptr};
    }
    casting_ = false;
    return Failed{false, std::exchange(stream_, nullptr)};
}

std::optional<std::shared_ptr<CaptureStream>> CastLifecycle::beginStop() {
    std::lock_guard guard(lock_);
    if (stopping_ || (!casting_ && !stream_)) {
        return std::nullopt;
    }
    stopping_ = true;
    casting_ = false;
    stoppedCast_ = latestCast_;
    return stream_;
}

std::shared_ptr<CaptureStream> CastLifecycle::takeStream() {
    std::lock_guard guard(lock_);
    return std::exchange(stream_, nullptr);
}

void CastLifecycle::finishStop() {
    std::lock_guard guard(lock_);
    stopping_ = false;
}

bool CastLifecycle::streamEnded(const CaptureStream& stream) {
    std::lock_guard guard(lock_);
    if (stream_.get() != &stream || !casting_) {
        return false;
    }
    casting_ = false;
    return true;
}

bool CastLifecycle::isCasting() const {
    std::lock_guard guard(lock_);
    return casting_;
}

bool CastLifecycle::isStopping() const {
    std::lock_guard guard(lock_);
    return stopping_;
}

bool CastLifecycle::hasStream() const {
    std::lock_guard guard(lock_);
    return stream_ != nullptr;
}

}  // namespace skylark
