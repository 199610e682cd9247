#include "common/serial_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/child_process.hpp"

namespace skylark {
namespace {

TEST(SerialQueue, RunsWorkFromManyThreadsOneAtATimeInOrderAndAllOfItBeforeItEnds) {
    std::vector<std::pair<int, int>> order;  // appended only by the queue's work: overlap races
    std::atomic<bool> offQueue{false}, nestedRan{false};
    {
        SerialQueue queue("test.serial");
        std::vector<std::jthread> threads;  // joined before the queue ends
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 500; ++i) {
                    queue.post([&, t, i] {
                        offQueue = offQueue || !queue.isCurrent();
                        order.emplace_back(t, i);
                    });
                }
            });
        }
        // Work may post more, and flush on its own thread returns at once, not deadlocking.
        queue.post([&] {
            queue.post([&] { nestedRan = true; });
            queue.flush();
        });
        queue.flush();  // the nested item is queued by now; the threads may still be posting
    }
    EXPECT_FALSE(offQueue);
    EXPECT_TRUE(nestedRan);
    ASSERT_EQ(order.size(), 2000u);
    std::vector<int> next(4, 0);
    for (const auto& [t, i] : order) {
        EXPECT_EQ(i, next[t]++);
    }
}

TEST(SerialQueue, LastReferenceDroppedByItsOwnWorkStillRunsWhatIsQueued) {
    auto queue = std::make_shared<SerialQueue>("test.serial");
    std::weak_ptr<SerialQueue> weak = queue;
    std::atomic<bool> released{false}, ran{false};
    queue->post([&] {
        while (!released) {
            std::this_thread::yield();
        }
    });
    queue->post([queue]() mutable { queue.reset(); });  // must not join its own thread
    queue->post([&] { ran = true; });
    queue.reset();
    released = true;
    EXPECT_TRUE(
        testing::pollUntil([&] { return weak.expired() && ran; }, std::chrono::seconds(10)));
}

}  // namespace
}  // namespace skylark
