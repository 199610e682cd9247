#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/frames/picture.hpp"

namespace skylark::pipewire {

// One frame handed on by the pacer. `queued` stands for its place in the consumer's queue:
// the consumer drops it once it has handled the frame.
struct PacedFrame {
    std::shared_ptr<const frames::YuvPicture> picture;
    std::chrono::nanoseconds time{0};  // monotonic clock (steady_clock), when it was handed on
    std::shared_ptr<const void> queued;
};

// Turns pictures that arrive whenever the compositor has something new into a steady stream:
// on its own thread it hands on the newest picture once per interval, the same picture again
// when nothing new came, so a still screen keeps the stream (and the segments cut from it)
// going. Frames are never closer than the interval; a frame is skipped while `queueDepth`
// handed-on frames are still queued.
//
// It starts handing on at the first picture. Until then it waits at most `firstFrameTimeout`;
// `started` then says whether a frame came (no reason) or why none did (the source ended,
// nothing came in time, or stop() came first). After a successful start, `ended` reports that
// the source went away (end()), once; stop() reports nothing.
//
// Threads: offer() and end() from any thread; start(), stop() and the destructor from the
// owner's thread. The handlers run on the pacer's thread and must not call stop().
class FramePacer {
  public:
    struct Settings {
        std::chrono::nanoseconds interval{std::chrono::nanoseconds(1'000'000'000) / 30};
        uint32_t queueDepth = 5;
        std::chrono::milliseconds firstFrameTimeout{10'000};
    };
    struct Handlers {
        std::function<void(PacedFrame)> frame;
        std::function<void(std::optional<std::string> failure)> started;
        std::function<void(const std::string& reason)> ended;
    };

    FramePacer(Settings settings, Handlers handlers);
    ~FramePacer();
    FramePacer(const FramePacer&) = delete;
    FramePacer& operator=(const FramePacer&) = delete;

    void start();
    // The newest content; replaces any picture not yet handed on.
    void offer(std::shared_ptr<const frames::YuvPicture> picture);
    // The source is gone for good, with a sentence for the user.
    void end(const std::string& reason);
    // Stops and joins the thread. When it returns, no handler is running or will run.
    void stop();

  private:
    void run();

    const Settings settings_;
    const Handlers handlers_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::shared_ptr<const frames::YuvPicture> newest_;
    std::optional<std::string> endReason_;
    bool stopping_ = false;
    std::thread thread_;

    std::shared_ptr<std::atomic<uint32_t>> queued_ = std::make_shared<std::atomic<uint32_t>>(0);
};

}  // namespace skylark::pipewire
