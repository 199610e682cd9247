#include "signal/signal_state.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace skylark {
namespace {

std::string text(const ByteBuffer& buffer) {
    return buffer ? std::string(asText(*buffer)) : "<absent>";
}

TEST(SignalState, StopClearsTheRelayAndResetKeepsTheCounter) {
    SignalState state;
    state.setOffer(makeBuffer("a"));
    state.setAnswer(makeBuffer("b"));
    state.requestStop();
    EXPECT_EQ(state.getOffer(), nullptr);
    EXPECT_EQ(state.getAnswer(), nullptr);
    state.reset();
    EXPECT_EQ(text(state.command()), "{\"stopToken\":1}");
}

// Stops from the menu thread racing the server's reads: no lost increment, never backwards.
TEST(SignalState, ConcurrentStopsAreNeitherLostNorReordered) {
    SignalState state;
    std::atomic<bool> done{false};
    std::thread menu([&] {
        for (int i = 0; i < 20000; ++i) {
            state.requestStop();
        }
        done = true;
    });
    std::int64_t last = 0;
    while (!done) {
        state.setOffer(makeBuffer("o"));
        const std::int64_t token = std::stoll(text(state.command()).substr(13));
        EXPECT_GE(token, last);
        last = token;
    }
    menu.join();
    EXPECT_EQ(text(state.command()), "{\"stopToken\":20000}");
}

}  // namespace
}  // namespace skylark
