#include "hls/live_hls_store.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace skylark {
namespace {

TEST(LiveHLSStore, LiveOnlyWithInitAndSegmentWhileActive) {
    LiveHLSStore store;
    store.addSegment(makeBuffer("s"));             // before any reset: stored, but not live
    store.addInitialization(makeBuffer(Bytes{}));  // present though empty
    EXPECT_FALSE(store.isLive());
    store.reset();
    EXPECT_EQ(store.segment(0), nullptr);
    store.addInitialization(makeBuffer(Bytes{}));
    const ByteBuffer held = makeBuffer("s");
    store.addSegment(held);
    EXPECT_TRUE(store.isLive());
    store.stop();  // content stays until the next cast
    EXPECT_FALSE(store.isLive());
    EXPECT_EQ(store.segment(0).get(), held.get()) << "buffers are handed out, not copied";
    store.reset();
    EXPECT_EQ(store.initData(), nullptr);
}

// Readers on other threads see whole states: at most eight consecutive identifiers, no half reset.
TEST(LiveHLSStore, ConcurrentWritersAndReadersSeeWholeStates) {
    LiveHLSStore store;
    std::atomic<bool> done{false};
    std::atomic<int> checked{0};
    std::thread writer([&] {
        for (int cast = 0; cast < 200 || checked < 500; ++cast) {
            store.reset();
            store.addInitialization(makeBuffer("init"));
            for (int i = 0; i < 20; ++i) {
                store.addSegment(makeBuffer("s"));
            }
            store.stop();
        }
        done = true;
    });
    while (!done) {
        const ByteBuffer playlist = store.playlist();
        if (!playlist) {
            continue;
        }
        const std::string body(asText(*playlist));
        const long first = std::stol(body.substr(body.find("SEQUENCE:") + 9));
        int count = 0;
        for (auto pos = body.find("segment"); pos != std::string::npos;
             pos = body.find("segment", pos + 1)) {
            EXPECT_EQ(std::stol(body.substr(pos + 7)), first + count++);
        }
        EXPECT_TRUE(count >= 1 && count <= 8) << count;
        ++checked;
    }
    writer.join();
}

}  // namespace
}  // namespace skylark
