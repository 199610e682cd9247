#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "caster/capture_platform.hpp"

namespace skylark {

// The caster's lifecycle flags under one lock, so that the main thread, the task thread, the
// picker's and the capture's threads see one consistent state. Every operation takes the lock
// for its whole duration and never calls out; references to streams are handed back so that the
// caller releases them outside the lock.
//
// Casts are numbered: the latest accepted cast, and the latest one that a stop ended. A capture
// start whose number is not above the stopped one has been abandoned and must not touch the
// state again.
class CastLifecycle {
  public:
    // Why start() is refused, if it is: a cast is starting, running, ended by the capture (its
    // stream not yet torn down) or stopping.
    struct Refusal {
        bool casting = false;
        bool stopping = false;
    };
    std::optional<Refusal> refusal() const;

    // Accepts a selection when idle: casting from now on. The new cast's number, or nothing.
    std::optional<std::uint64_t> accept();

    bool abandoned(std::uint64_t cast) const;

    // The stream becomes the current one, unless the cast was abandoned (false).
    bool adoptStream(std::uint64_t cast, std::shared_ptr<CaptureStream> stream);

    // After the store's reset: whether the cast was abandoned, or ended by its capture meanwhile.
    struct Standing {
        bool abandoned = false;
        bool casting = false;
    };
    Standing standing(std::uint64_t cast) const;

    // A capture start failed: unless abandoned, the cast ends and its stream is handed back
    // (to be released outside the lock). Nothing when abandoned.
    struct Failed {
        bool abandoned = false;
        std::shared_ptr<CaptureStream> dropped;
    };
    Failed failStart(std::uint64_t cast);

    // stop(): nothing when idle or already stopping; otherwise stopping from now on, every
    // capture start under way abandoned, and the stream to stop (possibly none yet).
    std::optional<std::shared_ptr<CaptureStream>> beginStop();
    // The teardown takes the stream; the stop's end clears the stopping flag.
    std::shared_ptr<CaptureStream> takeStream();
    void finishStop();

    // An unexpected end of `stream`: true when it is the current stream of a starting or
    // running cast, which is then no longer casting. A stale stream or a stop under way: false.
    bool streamEnded(const CaptureStream& stream);

    bool isCasting() const;
    bool isStopping() const;
    bool hasStream() const;

  private:
    bool abandonedLocked(std::uint64_t cast) const { return stoppedCast_ >= cast; }

    mutable std::mutex lock_;
    std::shared_ptr<CaptureStream> stream_;
    bool casting_ = false;
    bool stopping_ = false;
    std::uint64_t latestCast_ = 0;
    std::uint64_t stoppedCast_ = 0;
};

}  // namespace skylark
