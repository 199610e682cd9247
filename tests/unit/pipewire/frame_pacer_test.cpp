// The pacer that turns a compositor's occasional pictures into a steady stream: how a start
// completes (once, whichever way it ends), repeats, back-pressure and the end of the source.
#include "platform/pipewire/frame_pacer.hpp"

#include <gtest/gtest.h>

#include "support/child_process.hpp"

namespace skylark::pipewire {
namespace {

using namespace std::chrono_literals;

struct Paced {
    std::mutex mutex;
    std::vector<PacedFrame> frames;
    std::vector<std::optional<std::string>> starts;
    std::vector<std::string> ends;
    size_t framesAtStart = 0;
    bool holdTokens = false;  // the consumer keeps every frame queued
    FramePacer pacer;

    template <class F>
    auto locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }

    explicit Paced(uint32_t queueDepth = 5, std::chrono::milliseconds firstFrameTimeout = 10s)
        : pacer({5ms, queueDepth, firstFrameTimeout},
                {[this](PacedFrame f) {
                     locked([&] {
                         frames.push_back(holdTokens ? f : PacedFrame{f.picture, f.time, nullptr});
                     });
                 },
                 [this](std::optional<std::string> failure) {
                     locked([&] { framesAtStart = frames.size(), starts.push_back(failure); });
                 },
                 [this](const std::string& reason) { locked([&] { ends.push_back(reason); }); }}) {
        pacer.start();
    }
    bool waitFrames(size_t n) {
        return testing::pollUntil([&] { return locked([&] { return frames.size() >= n; }); }, 5s);
    }
};

TEST(FramePacer, AStartWithoutAPictureFailsOnceWithTheReason) {
    struct Row {
        std::function<void(FramePacer&)> act;
        std::chrono::milliseconds timeout;
        std::string reason;
    } const rows[] = {
        {[](FramePacer& p) { p.stop(); }, 10s, "The capture was stopped before it started."},
        {[](FramePacer& p) { p.end("The window was closed."); }, 10s, "The window was closed."},
        {[](FramePacer&) {}, 50ms, "The desktop sent no picture of the shared content."},
    };
    for (const Row& row : rows) {
        Paced r(5, row.timeout);
        row.act(r.pacer);
        ASSERT_TRUE(
            testing::pollUntil([&] { return r.locked([&] { return !r.starts.empty(); }); }, 5s));
        r.pacer.offer(std::make_shared<const frames::YuvPicture>(4, 4));  // too late
        r.pacer.stop();
        EXPECT_EQ(r.starts, std::vector<std::optional<std::string>>{row.reason});
        EXPECT_TRUE(r.frames.empty());
        EXPECT_TRUE(r.ends.empty());
    }
}

TEST(FramePacer, OnePictureIsRepeatedWhileFramesQueuedAllowAndTheSourcesEndIsReportedOnce) {
    Paced r(2);
    r.holdTokens = true;
    auto picture = std::make_shared<const frames::YuvPicture>(4, 4);
    r.pacer.offer(picture);
    ASSERT_TRUE(r.waitFrames(2));
    std::this_thread::sleep_for(50ms);  // ten intervals later, still two
    EXPECT_EQ(r.locked([&] { return r.frames.size(); }), 2u);
    r.locked([&] { r.holdTokens = false, r.frames.front().queued.reset(); });
    ASSERT_TRUE(r.waitFrames(3));

    r.pacer.end("The shared screen or window is no longer available.");
    r.pacer.end("A second reason is not reported.");
    ASSERT_TRUE(testing::pollUntil([&] { return r.locked([&] { return !r.ends.empty(); }); }, 5s));
    const size_t atEnd = r.locked([&] { return r.frames.size(); });
    std::this_thread::sleep_for(30ms);
    r.pacer.stop();
    EXPECT_EQ(r.frames.size(), atEnd);
    // The start completed after the first frame, once; then the picture again and again.
    EXPECT_EQ(r.starts, std::vector<std::optional<std::string>>{std::nullopt});
    EXPECT_EQ(r.framesAtStart, 1u);
    for (size_t i = 0; i < r.frames.size(); ++i) {
        EXPECT_EQ(r.frames[i].picture, picture);
        EXPECT_TRUE(i == 0 || r.frames[i].time > r.frames[i - 1].time);
    }
    EXPECT_EQ(r.ends,
              std::vector<std::string>{"The shared screen or window is no longer available."});
}

}  // namespace
}  // namespace skylark::pipewire
