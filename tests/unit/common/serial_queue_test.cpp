#include "common/serial_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "support/child_process.hpp"

namespace skylark {
namespace {

TEST(SerialQueue, RunsWorkFromManyThreadsOneAtATimeInEachThreadsOrder) {
    SerialQueue queue("test.serial");
    std::vector<std::vector<int>> seen(4);  // touched only by the queue's work
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                queue.post([&, t, i] {
                    overlapped = overlapped || running.fetch_add(1) != 0;
                    seen[t].push_back(i);
                    running.fetch_sub(1);
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    queue.flush();
    EXPECT_FALSE(overlapped);
    for (const auto& order : seen) {
        ASSERT_EQ(order.size(), 500u);
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    }
}

TEST(SerialQueue, WorkMayPostAndFlushOnItsOwnThread) {
    SerialQueue queue("test.serial");
    std::atomic<bool> onQueue{false}, nestedRan{false};
    queue.post([&] {
        onQueue = queue.isCurrent();
        queue.post([&] { nestedRan = true; });
        queue.flush();  // returns at once here instead of waiting for itself
    });
    queue.flush();
    queue.flush();
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(nestedRan);
}

TEST(SerialQueue, DestructionRunsWhatIsQueuedEvenFromItsOwnWork) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("test.serial");
        for (int i = 0; i < 100; ++i) {
            queue.post([&] { ++count; });
        }
    }
    EXPECT_EQ(count, 100);

    // The last reference dropped by the queue's own work: it must not join its own thread.
    auto queue = std::make_shared<SerialQueue>("test.serial");
    std::weak_ptr<SerialQueue> weak = queue;
    std::atomic<bool> released{false};
    queue->post([&] {
        while (!released) {
            std::this_thread::yield();
        }
    });
    queue->post([queue]() mutable { queue.reset(); });
    queue->post([&] { ++count; });
    queue.reset();
    released = true;
    EXPECT_TRUE(testing::pollUntil([&] { return weak.expired() && count == 101; },
                                   std::chrono::seconds(10)));
}

}  // namespace
}  // namespace skylark
