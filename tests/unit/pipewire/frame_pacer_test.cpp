// The pacer that turns a compositor's occasional pictures into a steady stream: how a start
// completes (once, whichever way it ends), repeats, back-pressure and the end of the source.

#include "platform/pipewire/frame_pacer.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "support/child_process.hpp"

namespace skylark::pipewire {
namespace {

using namespace std::chrono_literals;

struct Record {
    std::mutex mutex;
    std::vector<PacedFrame> frames;
    std::vector<std::optional<std::string>> starts;
    std::vector<std::string> ends;
    bool keepTokens = false;
    size_t framesBeforeStart = 0;

    template <class F>
    auto read(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
};

std::unique_ptr<FramePacer> makePacer(Record& r, uint32_t queueDepth = 5,
                                      std::chrono::milliseconds firstFrameTimeout = 10s) {
    FramePacer::Settings settings;
    settings.interval = 5ms;
    settings.queueDepth = queueDepth;
    settings.firstFrameTimeout = firstFrameTimeout;
    return std::make_unique<FramePacer>(
        settings, FramePacer::Handlers{[&r](PacedFrame f) {
                                           std::lock_guard lock(r.mutex);
                                           if (!r.keepTokens) {
                                               f.queued.reset();
                                           }
                                           r.frames.push_back(std::move(f));
                                       },
                                       [&r](std::optional<std::string> failure) {
                                           std::lock_guard lock(r.mutex);
                                           r.framesBeforeStart = r.frames.size();
                                           r.starts.push_back(std::move(failure));
                                       },
                                       [&r](const std::string& reason) {
                                           std::lock_guard lock(r.mutex);
                                           r.ends.push_back(reason);
                                       }});
}

std::shared_ptr<const frames::Picture> picture() {
    return std::make_shared<const frames::Picture>(4, 4);
}

TEST(FramePacerTest, OnePictureStartsTheStreamAndIsHandedOnAgainAndAgain) {
    Record r;
    auto pacer = makePacer(r);
    pacer->start();
    auto p = picture();
    pacer->offer(p);
    ASSERT_TRUE(
        testing::pollUntil([&] { return r.read([&] { return r.frames.size(); }) >= 5; }, 5s));
    pacer->stop();
    ASSERT_EQ(r.starts.size(), 1u);
    EXPECT_FALSE(r.starts.front().has_value());
    // The start completes after the first frame, so samples never precede it by more.
    EXPECT_EQ(r.framesBeforeStart, 1u);
    for (size_t i = 0; i < r.frames.size(); ++i) {
        EXPECT_EQ(r.frames[i].picture, p);
        if (i > 0) {
            EXPECT_GT(r.frames[i].time, r.frames[i - 1].time);
        }
    }
    EXPECT_TRUE(r.ends.empty());
}

TEST(FramePacerTest, StartWithoutAPictureFailsOnceWithTheReason) {
    struct Case {
        const char* name;
        std::function<void(FramePacer&)> act;
        std::chrono::milliseconds timeout;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"stopped first", [](FramePacer& p) { p.stop(); }, 10s,
         "The capture was stopped before it started."},
        {"source gone", [](FramePacer& p) { p.end("The window was closed."); }, 10s,
         "The window was closed."},
        {"nothing came", [](FramePacer&) {}, 50ms,
         "The desktop sent no picture of the shared content."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record r;
        auto pacer = makePacer(r, 5, c.timeout);
        pacer->start();
        c.act(*pacer);
        ASSERT_TRUE(
            testing::pollUntil([&] { return r.read([&] { return !r.starts.empty(); }); }, 5s));
        pacer->offer(picture());  // too late: the pacer has given up
        pacer->stop();
        ASSERT_EQ(r.starts.size(), 1u);
        EXPECT_EQ(r.starts.front(), c.reason);
        EXPECT_TRUE(r.frames.empty());
        EXPECT_TRUE(r.ends.empty());
    }
}

TEST(FramePacerTest, FramesStillQueuedHoldBackTheNext) {
    Record r;
    r.keepTokens = true;
    auto pacer = makePacer(r, 2);
    pacer->start();
    pacer->offer(picture());
    ASSERT_TRUE(
        testing::pollUntil([&] { return r.read([&] { return r.frames.size(); }) == 2; }, 5s));
    // Many ticks later the consumer still holds both: nothing more came.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.read([&] { return r.frames.size(); }), 2u);
    r.read([&] {
        r.keepTokens = false;
        r.frames.front().queued.reset();
        return 0;
    });
    EXPECT_TRUE(
        testing::pollUntil([&] { return r.read([&] { return r.frames.size(); }) > 2; }, 5s));
    pacer->stop();
}

TEST(FramePacerTest, SourceEndingAfterTheStartIsReportedOnceAndEndsTheFrames) {
    Record r;
    auto pacer = makePacer(r);
    pacer->start();
    pacer->offer(picture());
    ASSERT_TRUE(testing::pollUntil([&] { return r.read([&] { return !r.starts.empty(); }); }, 5s));
    pacer->end("The shared screen or window is no longer available.");
    pacer->end("A second reason is not reported.");
    ASSERT_TRUE(testing::pollUntil([&] { return r.read([&] { return !r.ends.empty(); }); }, 5s));
    const size_t frames = r.read([&] { return r.frames.size(); });
    std::this_thread::sleep_for(30ms);
    pacer->stop();
    EXPECT_EQ(r.frames.size(), frames);
    EXPECT_EQ(r.starts.size(), 1u);
    ASSERT_EQ(r.ends.size(), 1u);
    EXPECT_EQ(r.ends.front(), "The shared screen or window is no longer available.");
}

}  // namespace
}  // namespace skylark::pipewire
