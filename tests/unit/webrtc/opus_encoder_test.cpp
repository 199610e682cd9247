// The sound's encoder against the times the capture gives it: a receiver plays Opus frames by
// their RTP times, so each frame must follow the one before by exactly its length (a frame that
// overlaps reads as a late duplicate and is dropped), while the whole stays near the capture's
// line, which the picture follows too. A stall of the sound source stays a gap.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/gstreamer/opus_encoder.hpp"

// GLib allocates its first table of quarks while it loads and, once GStreamer has made more,
// replaces it without freeing it: the leak checker is told that is none of ours. Its stacks are
// unwound in full, as GLib keeps no frame pointers.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n";
}

namespace skylark {
namespace {

constexpr std::int64_t kMs = 1'000'000;

struct Frame {
    std::int64_t pts, duration;
};

TEST(OpusEncoder, FramesButtAgainstEachOtherOnTheCapturesLineAndAStallIsKept) {
    ASSERT_TRUE(gst_init_check(nullptr, nullptr, nullptr));
    std::mutex lock;
    std::condition_variable more;
    std::vector<Frame> frames;
    const std::int64_t base = 1000 * kMs;
    {
        OpusEncoder encoder(base, [&](GstSample* sample) {
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            std::lock_guard guard(lock);
            frames.push_back({std::int64_t(GST_BUFFER_PTS(buffer)),
                              std::int64_t(GST_BUFFER_DURATION(buffer))});
            more.notify_all();
        });
        // 10 ms buffers. For the first 150 the capture's line slews 0.2 ms earlier at each (as
        // while it settles: 30 ms in all), then runs true; after 300 the source stalls 300 ms.
        const std::shared_ptr<const float> silence(new float[960](), std::default_delete<float[]>());
        std::int64_t t = base + 5 * kMs;
        for (int i = 0; i < 400; ++i) {
            encoder.push({480, 2, 48000, silence, t});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // as a capture, not a flood
            t += (i < 150 ? 9.8 : 10) * kMs + (i == 300 ? 300 * kMs : 0);
        }
        std::unique_lock held(lock);
        EXPECT_TRUE(more.wait_for(held, std::chrono::seconds(10), [&] { return !frames.empty() && frames.back().pts > 3500 * kMs; }))
            << frames.size() << " frames";
    }
    // Frames butt against each other but at the stall; there the sound before it ends where the
    // capture put it (the line drifted 30 ms meanwhile), and the sound after it starts there.
    const auto captured = [](int i) {  // the capture's time of buffer i, from the base
        return 5 * kMs + std::min(i, 150) * 98 * kMs / 10 + std::max(i - 150, 0) * 10 * kMs +
               (i > 300 ? 300 * kMs : 0);
    };
    std::vector<std::size_t> gaps;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        const std::int64_t step = frames[i].pts - (frames[i - 1].pts + frames[i - 1].duration);
        EXPECT_GE(step, 0) << "frame " << i << " overlaps the one before by " << -step / 1e6 << " ms";
        if (step > 0) {
            gaps.push_back(i);
        }
    }
    ASSERT_EQ(gaps.size(), 1u) << "the stall alone breaks the line";
    const Frame& before = frames[gaps[0] - 1];
    EXPECT_NEAR(double(before.pts + before.duration), double(captured(301) - 300 * kMs), 12 * kMs);
    EXPECT_NEAR(double(frames[gaps[0]].pts), double(captured(301)), 3 * kMs);
}

}  // namespace
}  // namespace skylark
