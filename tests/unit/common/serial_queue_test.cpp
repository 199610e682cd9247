#include "common/serial_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace skylark {
namespace {

TEST(SerialQueue, RunsInOrderOneAtATime) {
    SerialQueue queue("test.serial");
    std::vector<int> order;  // written only by the queue's work
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 1000; ++i) {
        queue.post([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.flush();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(SerialQueue, PostsFromManyThreadsKeepEachThreadsOrder) {
    SerialQueue queue("test.serial");
    std::mutex lock;
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                queue.post([&, t, i] {
                    std::lock_guard guard(lock);
                    seen[t].push_back(i);
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    queue.flush();
    for (int t = 0; t < 4; ++t) {
        ASSERT_EQ(seen[t].size(), 500u);
        for (int i = 0; i < 500; ++i) {
            EXPECT_EQ(seen[t][i], i);
        }
    }
}

TEST(SerialQueue, WorkRunsOnTheQueuesThreadAndMayPostMore) {
    SerialQueue queue("test.serial");
    std::atomic<bool> onQueue{false};
    std::atomic<bool> nestedRan{false};
    queue.post([&] {
        onQueue = queue.isCurrent();
        queue.post([&] { nestedRan = true; });
        queue.flush();  // returns at once on the queue's own thread
    });
    queue.flush();
    queue.flush();
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DestructionRunsWhatIsQueued) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("test.serial");
        for (int i = 0; i < 100; ++i) {
            queue.post([&] { ++count; });
        }
    }
    EXPECT_EQ(count, 100);
}

TEST(SerialQueue, LastReferenceDroppedOnItsOwnThread) {
    auto queue = std::make_shared<SerialQueue>("test.serial");
    std::atomic<bool> done{false};
    std::weak_ptr<SerialQueue> weak = queue;
    queue->post([queue, &done]() mutable {
        queue.reset();  // may be the last reference: the destructor runs here
        done = true;
    });
    queue.reset();
    while (!done) {
        std::this_thread::yield();
    }
    while (!weak.expired()) {
        std::this_thread::yield();
    }
}

}  // namespace
}  // namespace skylark
