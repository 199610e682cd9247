#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/frames/picture.hpp"
#include "platform/frames/picture_pool.hpp"
#include "platform/frames/yuv_drawer.hpp"
#include "platform/x11/frame_source.hpp"

namespace skylark::x11 {

using frames::YuvPicture;

// One delivered frame, in the encoder's YUV. The picture returns to the pump's pool when its last
// reference goes. `queued` stands for the frame's place in the consumer's queue: the consumer drops
// it once it has handled the frame (it may keep the picture longer, e.g. while an encoder reads
// it).
struct CapturedFrame {
    std::shared_ptr<const YuvPicture> picture;
    std::chrono::nanoseconds time{0};  // monotonic clock (steady_clock): the grab's grid time
    std::shared_ptr<const void> queued;
};

// Runs a capture thread that grabs a FrameSource at a steady pace, converts each grab into a
// YUV picture of the configured size, and hands it to `onFrame`.
//
// Conversion: a grab of the configured size goes straight from the grabbed pixels into the
// picture, and when the source says which rows changed, only those are converted and the rest
// copied from the previous picture; when nothing changed, the previous picture itself goes
// out again. Other sizes are scaled into a picture of the configured size first.
//
// Pacing: frames follow a grid of `minimumInterval` and are stamped with its times, so they are
// never closer than the interval; after a stall of a whole interval the grid restarts rather
// than catching up. Back-pressure: while `queueDepth` frames are still queued (their
// `queued` token alive), or every picture of the pool is still held, new frames are dropped
// before they are grabbed. A grab that fails delivers nothing.
//
// Threads: start(), stop() and the destructor from one owner thread; `onFrame` and `onEnd` run
// on the capture thread and must not call stop() or destroy the pump.
class FramePump {
  public:
    struct Settings {
        uint32_t width = 0;
        uint32_t height = 0;
        std::chrono::nanoseconds minimumInterval{std::chrono::nanoseconds(1'000'000'000) / 30};
        uint32_t queueDepth = 5;
        // Pictures beyond the queue depth that consumers may keep after handling a frame.
        uint32_t sparePictures = 3;
    };
    struct Counters {
        uint64_t delivered = 0;
        uint64_t droppedBusy = 0;  // the consumer was queueDepth frames behind
        uint64_t failedGrabs = 0;
    };
    using FrameHandler = std::function<void(CapturedFrame)>;
    // Called once, with the source's reason, when the content goes away by itself.
    using EndHandler = std::function<void(const std::string& reason)>;

    FramePump(std::unique_ptr<FrameSource> source, Settings settings, FrameHandler onFrame,
              EndHandler onEnd);
    ~FramePump();
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    // Grabs once on the calling thread to prove the source works, then starts the thread.
    // Returns false with a reason when the first grab fails.
    bool start(std::string& error);

    // Stops and joins the capture thread. When it returns, no handler is running or will run.
    void stop();

    Counters counters() const;

  private:
    void run();
    bool waitUntil(std::chrono::steady_clock::time_point when);

    std::unique_ptr<FrameSource> source_;
    Settings settings_;
    FrameHandler onFrame_;
    EndHandler onEnd_;

    frames::YuvDrawer drawer_;
    std::shared_ptr<frames::YuvPicturePool> pool_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;

    std::shared_ptr<std::atomic<uint32_t>> queued_ = std::make_shared<std::atomic<uint32_t>>(0);
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> droppedBusy_{0};
    std::atomic<uint64_t> failedGrabs_{0};
};

}  // namespace skylark::x11
