// The Qt main-thread dispatcher: work posted from any thread runs on the main thread, in the
// order posted, never inside post(), and none runs after close().
#include <gtest/gtest.h>

#include <QApplication>
#include <thread>

#include "app/qt_main_dispatcher.hpp"
#include "support/child_process.hpp"

namespace skylark {
namespace {

TEST(QtMainDispatcher, RunsWorkFromAnyThreadOnTheMainThreadInOrderUntilClosed) {
    QtMainDispatcher dispatcher;
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> order;
    bool offMain = false;
    dispatcher.post([&] { order.push_back(0); });
    EXPECT_TRUE(order.empty());
    std::thread([&] {
        for (int i = 1; i <= 100; ++i) {
            dispatcher.post([&, i] {
                offMain |= std::this_thread::get_id() != mainThread;
                order.push_back(i);
            });
        }
    }).join();
    ASSERT_TRUE(testing::pollUntil(
        [&] {
            QApplication::processEvents();
            return order.size() == 101;
        },
        std::chrono::seconds(10)));
    EXPECT_FALSE(offMain);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

    // Closed: what is queued is dropped (releasing what it holds), and so is what comes later.
    auto held = std::make_shared<int>(0);
    dispatcher.post([&, held] { order.push_back(-1); });
    dispatcher.close();
    std::thread([&] { dispatcher.post([&] { order.push_back(-1); }); }).join();
    QApplication::processEvents();
    EXPECT_EQ(order.size(), 101u);
    EXPECT_EQ(held.use_count(), 1);
}

}  // namespace
}  // namespace skylark
