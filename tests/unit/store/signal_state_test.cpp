#include "signal/signal_state.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace skylark {
namespace {

std::string text(const ByteBuffer& buffer) { return buffer ? std::string(asText(*buffer)) : "<absent>"; }

TEST(SignalState, FreshStateHasNothingAndTokenZero) {
    SignalState state;
    EXPECT_EQ(state.getOffer(), nullptr);
    EXPECT_EQ(state.getAnswer(), nullptr);
    EXPECT_EQ(text(state.command()), "{\"stopToken\":0}");
    EXPECT_EQ(state.command()->size(), 15u);
}

TEST(SignalState, EmptyOfferIsPresentNotAbsent) {
    SignalState state;
    state.setOffer(makeBuffer(""));
    ASSERT_NE(state.getOffer(), nullptr);
    EXPECT_TRUE(state.getOffer()->empty());
}

TEST(SignalState, NewOfferClearsAnswerButAnswerNeedsNoOffer) {
    SignalState state;
    state.setAnswer(makeBuffer("b"));
    EXPECT_EQ(state.getOffer(), nullptr);
    EXPECT_EQ(text(state.getAnswer()), "b");

    state.setOffer(makeBuffer("a"));
    EXPECT_EQ(state.getAnswer(), nullptr);
    state.setAnswer(makeBuffer("b2"));
    EXPECT_EQ(text(state.getOffer()), "a");
    EXPECT_EQ(text(state.getAnswer()), "b2");
    state.setOffer(makeBuffer("c"));
    EXPECT_EQ(text(state.getOffer()), "c");
    EXPECT_EQ(state.getAnswer(), nullptr);
}

TEST(SignalState, StopRaisesTokenAndClearsWhileResetKeepsToken) {
    SignalState state;
    state.setOffer(makeBuffer("a"));
    state.setAnswer(makeBuffer("b"));
    state.requestStop();
    EXPECT_EQ(state.getOffer(), nullptr);
    EXPECT_EQ(state.getAnswer(), nullptr);
    state.requestStop();
    state.setOffer(makeBuffer("x"));
    state.reset();
    EXPECT_EQ(state.getOffer(), nullptr);
    EXPECT_EQ(text(state.command()), "{\"stopToken\":2}");
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
        const std::string command = text(state.command());
        const std::int64_t token = std::stoll(command.substr(13));
        EXPECT_GE(token, last);
        last = token;
    }
    menu.join();
    EXPECT_EQ(text(state.command()), "{\"stopToken\":20000}");
}

}  // namespace
}  // namespace skylark
