#include "platform/pipewire/frame_pacer.hpp"

namespace skylark::pipewire {

FramePacer::FramePacer(Settings settings, Handlers handlers)
    : settings_(settings), handlers_(std::move(handlers)) {}

FramePacer::~FramePacer() {
    stop();
}

void FramePacer::start() {
    thread_ = std::thread([this] { run(); });
}

void FramePacer::offer(std::shared_ptr<const frames::YuvPicture> picture) {
    {
        std::lock_guard lock(mutex_);
        newest_ = std::move(picture);
    }
    wake_.notify_all();
}

void FramePacer::end(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        if (!endReason_) {
            endReason_ = reason;
        }
    }
    wake_.notify_all();
}

void FramePacer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void FramePacer::run() {
    using Clock = std::chrono::steady_clock;
    std::shared_ptr<const frames::YuvPicture> current;
    {
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, Clock::now() + settings_.firstFrameTimeout,
                         [this] { return newest_ || endReason_ || stopping_; });
        if (stopping_ || !newest_) {
            const std::string why = stopping_ ? "The capture was stopped before it started."
                                    : endReason_
                                        ? *endReason_
                                        : "The desktop sent no picture of the shared content.";
            lock.unlock();
            if (handlers_.started) {
                handlers_.started(why);
            }
            return;
        }
        current = std::move(newest_);
    }

    const uint32_t depth = std::max<uint32_t>(settings_.queueDepth, 1);
    bool first = true;
    std::string reason;
    Clock::time_point next = Clock::now();
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, next, [this] { return stopping_ || endReason_.has_value(); });
            if (stopping_ && !first) {
                return;
            }
            if (stopping_) {
                reason = "The capture was stopped before it started.";
                break;
            }
            if (endReason_) {
                reason = *endReason_;
                break;
            }
            if (newest_) {
                current = std::move(newest_);
            }
        }
        // Each tick is one interval after the previous one began, however late that one woke:
        // the rate dips a little rather than bursting to catch up.
        const Clock::time_point tick = Clock::now();
        next = tick + settings_.interval;
        if (queued_->load() >= depth) {
            continue;
        }
        queued_->fetch_add(1);
        std::shared_ptr<const void> token(
            nullptr, [counter = queued_](const void*) { counter->fetch_sub(1); });
        if (handlers_.frame) {
            handlers_.frame({current, tick.time_since_epoch(), std::move(token)});
        }
        if (first) {
            first = false;
            if (handlers_.started) {
                handlers_.started(std::nullopt);
            }
        }
    }
    if (first) {
        if (handlers_.started) {
            handlers_.started(reason);
        }
    } else if (handlers_.ended) {
        handlers_.ended(reason);
    }
}

}  // namespace skylark::pipewire
