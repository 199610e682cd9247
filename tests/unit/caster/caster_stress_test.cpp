// Many start/stop cycles on real queues against a platform that answers from its own thread, late
// and in any order, with failures and unexpected ends. Run under ASan/UBSan and ThreadSanitizer.

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "unit/caster/fakes.hpp"

namespace skylark::test {
namespace {

using namespace std::chrono_literals;

TEST(CasterStress, ManyStartStopCyclesAgainstAPlatformThatAnswersLate) {
    auto main = std::make_shared<QueueMain>();
    auto tasks = std::make_shared<SerialQueue>("test.tasks");
    auto video = std::make_shared<SerialQueue>("test.video");
    Rig t(main, tasks, video);
    std::mt19937 dice{12345};
    auto roll = [&](int sides) {
        std::lock_guard guard(t.lock);
        return std::uniform_int_distribution<int>(0, sides - 1)(dice);
    };
    t.configureStream = [&](FakeStream& s) { s.hold = true, s.failStart = roll(8) == 0; };
    auto streams = [&] {
        std::lock_guard guard(t.lock);
        return t.streams;
    };
    // Answers held starts and stops late, delivers media while a capture runs, ends some.
    std::atomic<bool> done{false};
    std::thread platform([&] {
        for (std::int64_t ms = 0; !done; ms += 10, std::this_thread::sleep_for(1ms)) {
            for (const auto& stream : streams()) {
                if (roll(4) == 0) {
                    stream->answer();
                }
                if (stream->running()) {
                    t.deliver(frame(ms)), t.deliver(audio(ms));
                    if (roll(400) == 0) {
                        stream->end();
                    }
                }
            }
        }
    });
    auto onMain = [&](std::function<void()> work) { main->post(work), main->queue.flush(); };
    // No cast is reported as casting while a stop is under way or after its "Stopping…".
    std::atomic<int> castingReports{0}, staleCastingReports{0};
    std::string lastText;
    onMain([&] {
        t.caster->setStateChanged([&](bool casting, const std::string& text) {
            castingReports += casting;
            staleCastingReports += casting && (t.caster->isStopping() || lastText == "Stopping…");
            lastText = text;
        });
    });
    // Stops, counting those that found a cast, until idle twice with every queue drained.
    auto stop = [&](int& found) {
        onMain([&] { found += !t.caster->isStopping() && !t.idle(), t.caster->stop(); });
    };
    auto settle = [&](int& found) {
        for (int round = 0; round < 20000; ++round, std::this_thread::sleep_for(1ms)) {
            bool idle = true;
            for (int twice = 0; twice < 2 && idle; ++twice) {
                tasks->flush(), video->flush(), onMain([&] { idle = t.idle(); });
            }
            if (idle) {
                return true;
            }
            stop(found);
        }
        return false;
    };
    for (int cycle = 0; cycle < 150; ++cycle) {
        onMain([&] { t.caster->start(); });
        std::thread picker(
            [&] { std::this_thread::sleep_for(1us * roll(200)), t.picker->select(); });
        const int before = castingReports;
        for (int i = 0; i < (cycle % 3 ? roll(30) : 2000) && castingReports == before; ++i) {
            std::this_thread::sleep_for(100us);  // now and then, let the cast run
        }
        int stopped = 0, extraStops = 0;
        stop(stopped);
        picker.join();
        ASSERT_TRUE(settle(extraStops)) << "cycle " << cycle;
        // A stop that found its cast ended it for good: nothing was left for another stop.
        EXPECT_TRUE(!stopped || !extraStops) << "cycle " << cycle;
    }
    done = true;
    platform.join();
    for (bool held = true; held; tasks->flush(), video->flush(), main->queue.flush()) {
        held = false;
        for (const auto& stream : streams()) {
            held |= stream->answer();
        }
    }
    // Every capture that ever started stopped, no writer was cancelled twice, the store is off.
    for (const auto& stream : t.streams) {
        EXPECT_FALSE(stream->running());
    }
    for (const auto& writer : t.writers) {
        EXPECT_LE(writer->cancels, 1);
    }
    EXPECT_FALSE(t.store->isLive());
    onMain([&] {
        EXPECT_EQ(staleCastingReports, 0);
        EXPECT_GT(castingReports, 0);
        t.caster->setStateChanged(nullptr);  // the handler refers to this frame
    });
}

}  // namespace
}  // namespace skylark::test
