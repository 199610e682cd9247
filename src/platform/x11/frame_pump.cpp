#include "platform/x11/frame_pump.hpp"

#include <pthread.h>

namespace skylark::x11 {

FramePump::FramePump(std::unique_ptr<FrameSource> source, Settings settings, FrameHandler onFrame,
                     EndHandler onEnd)
    : source_(std::move(source)),
      settings_(settings),
      onFrame_(std::move(onFrame)),
      onEnd_(std::move(onEnd)),
      drawer_(settings.width, settings.height),
      // One more than may be out: the previous picture, kept to copy unchanged rows from.
      pool_(frames::YuvPicturePool::create(
          settings.width, settings.height,
          std::max<uint32_t>(settings.queueDepth, 1) + settings.sparePictures + 1)) {}

FramePump::~FramePump() {
    stop();
}

bool FramePump::start(std::string& error) {
    FrameSource::Grab first = source_->grab();
    if (first.status == FrameSource::Status::ended) {
        error = source_->endReason();
        return false;
    }
    if (first.status == FrameSource::Status::failed) {
        error =
            "The chosen content shows no picture right now (is the window minimised or the "
            "display off?).";
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void FramePump::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

FramePump::Counters FramePump::counters() const {
    return {delivered_.load(), droppedBusy_.load(), failedGrabs_.load()};
}

bool FramePump::waitUntil(std::chrono::steady_clock::time_point when) {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, when, [this] { return stopping_; });
    return !stopping_;
}

void FramePump::run() {
    // Named, or it would carry the name of whichever queue started it, and a profile could not
    // tell the grabs from that queue's own work.
    pthread_setname_np(pthread_self(), "skylark-grab");
    using Clock = std::chrono::steady_clock;
    Clock::time_point next = Clock::now();
    while (waitUntil(next)) {
        // Frames keep to a grid of one interval, and carry its times: exactly the rate asked
        // for, never two frames closer than the interval. After a stall of a whole interval
        // or more the grid starts again from now instead of catching up with a burst.
        const Clock::time_point tick = Clock::now();
        if (tick - next >= settings_.minimumInterval) {
            next = tick;
        }
        const Clock::time_point stamp = next;
        next += settings_.minimumInterval;
        std::shared_ptr<YuvPicture> picture;
        if (queued_->load() < std::max<uint32_t>(settings_.queueDepth, 1)) {
            picture = pool_->acquire();
        }
        if (!picture) {
            droppedBusy_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        FrameSource::Grab grab = source_->grab();
        if (grab.status == FrameSource::Status::ended) {
            if (onEnd_) {
                onEnd_(source_->endReason());
            }
            return;
        }
        if (grab.status == FrameSource::Status::failed) {
            failedGrabs_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        std::shared_ptr<const YuvPicture> frame =
            drawer_.draw(grab.pixels, grab.whole ? nullptr : &grab.changed, std::move(picture));
        delivered_.fetch_add(1, std::memory_order_relaxed);
        queued_->fetch_add(1);
        std::shared_ptr<const void> token(
            nullptr, [counter = queued_](const void*) { counter->fetch_sub(1); });
        onFrame_({std::move(frame), stamp.time_since_epoch(), std::move(token)});
    }
}

}  // namespace skylark::x11
