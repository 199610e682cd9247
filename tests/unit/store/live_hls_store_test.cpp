#include "hls/live_hls_store.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace skylark {
namespace {

std::string text(const ByteBuffer& buffer) { return buffer ? std::string(asText(*buffer)) : "<absent>"; }

ByteBuffer seg(int n) { return makeBuffer("segment-bytes-" + std::to_string(n)); }

TEST(LiveHLSStore, NewStoreIsInactiveAndEmpty) {
    LiveHLSStore store;
    EXPECT_EQ(text(store.statusJSON()), "{\"active\":false}");
    EXPECT_EQ(store.initData(), nullptr);
    EXPECT_EQ(store.playlist(), nullptr);
    EXPECT_EQ(store.segment(0), nullptr);
    EXPECT_EQ(store.segment(-1), nullptr);
}

TEST(LiveHLSStore, BecomesPlayableOnlyWithInitAndSegmentWhileActive) {
    LiveHLSStore store;
    store.addSegment(seg(0));  // before any reset: stored under 0, still not live
    EXPECT_EQ(text(store.segment(0)), "segment-bytes-0");
    EXPECT_EQ(text(store.statusJSON()), "{\"active\":false}");

    store.reset();
    EXPECT_EQ(store.segment(0), nullptr);
    EXPECT_EQ(text(store.statusJSON()), "{\"active\":false}");
    EXPECT_EQ(store.playlist(), nullptr);

    store.addInitialization(makeBuffer(Bytes{}));  // present though empty
    EXPECT_EQ(text(store.statusJSON()), "{\"active\":false}");
    EXPECT_EQ(store.playlist(), nullptr);
    store.addSegment(seg(1));
    EXPECT_EQ(text(store.statusJSON()), "{\"active\":true}");
    EXPECT_EQ(store.statusJSON()->size(), 15u);
    EXPECT_EQ(text(store.segment(0)), "segment-bytes-1");
    ASSERT_NE(store.initData(), nullptr);
    EXPECT_TRUE(store.initData()->empty());
}

TEST(LiveHLSStore, WindowKeepsTheEightNewestAndReplacesInitialization) {
    LiveHLSStore store;
    store.reset();
    store.addInitialization(makeBuffer("init-a"));
    for (int i = 0; i < 9; ++i) {
        store.addSegment(seg(i));
    }
    EXPECT_EQ(store.segment(0), nullptr);
    EXPECT_EQ(text(store.segment(1)), "segment-bytes-1");
    EXPECT_EQ(text(store.segment(8)), "segment-bytes-8");
    EXPECT_EQ(store.segment(9), nullptr);

    store.addInitialization(makeBuffer("init-b"));
    EXPECT_EQ(text(store.initData()), "init-b");
    EXPECT_EQ(text(store.segment(8)), "segment-bytes-8");
}

TEST(LiveHLSStore, StopKeepsContentAndResetRestartsIdentifiers) {
    LiveHLSStore store;
    store.reset();
    store.addInitialization(makeBuffer("init"));
    store.addSegment(seg(0));
    store.addSegment(seg(1));
    const ByteBuffer before = store.playlist();

    store.stop();
    EXPECT_EQ(text(store.statusJSON()), "{\"active\":false}");
    EXPECT_EQ(text(store.initData()), "init");
    EXPECT_EQ(text(store.playlist()), text(before));

    const ByteBuffer held = store.segment(1);
    store.reset();
    EXPECT_EQ(store.segment(1), nullptr);
    EXPECT_EQ(store.initData(), nullptr);
    EXPECT_EQ(text(held), "segment-bytes-1") << "a buffer handed out outlives the window";
    store.addSegment(seg(7));
    EXPECT_EQ(text(store.segment(0)), "segment-bytes-7");
}

TEST(LiveHLSStore, HandsOutTheStoredBufferWithoutCopying) {
    LiveHLSStore store;
    const ByteBuffer data = seg(3);
    store.addSegment(data);
    EXPECT_EQ(store.segment(0).get(), data.get());
}

TEST(LivePlaylist, OneSegmentIs155Bytes) {
    LiveHLSStore store;
    store.reset();
    store.addInitialization(makeBuffer("i"));
    store.addSegment(seg(0));
    const std::string expected =
        "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n"
        "#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"init.mp4\"\n#EXTINF:0.250,\nsegment0.m4s\n";
    EXPECT_EQ(text(store.playlist()), expected);
    EXPECT_EQ(store.playlist()->size(), 155u);
}

TEST(LivePlaylist, WindowFiveToTwelveIs354Bytes) {
    LiveHLSStore store;
    store.reset();
    store.addInitialization(makeBuffer("i"));
    for (int i = 0; i <= 12; ++i) {
        store.addSegment(seg(i));
    }
    std::string expected =
        "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:5\n"
        "#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"init.mp4\"\n";
    for (int i = 5; i <= 12; ++i) {
        expected += "#EXTINF:0.250,\nsegment" + std::to_string(i) + ".m4s\n";
    }
    const std::string playlist = text(store.playlist());
    EXPECT_EQ(playlist, expected);
    EXPECT_EQ(playlist.size(), 354u);
    EXPECT_EQ(playlist.find('\r'), std::string::npos);
}

TEST(LivePlaylist, AbsentWithoutInitializationEvenWithSegments) {
    LiveHLSStore store;
    store.reset();
    store.addSegment(seg(0));
    EXPECT_EQ(store.playlist(), nullptr);
}

// Readers on other threads must only ever see whole states: a window of at most eight
// consecutive identifiers, never a half-done reset.
TEST(LiveHLSStore, ConcurrentWritersAndReadersSeeWholeStates) {
    LiveHLSStore store;
    std::atomic<bool> done{false};
    std::atomic<int> checked{0};
    std::thread writer([&] {
        for (int cast = 0; cast < 200 || checked < 500; ++cast) {
            store.reset();
            store.addInitialization(makeBuffer("init"));
            for (int i = 0; i < 20; ++i) {
                store.addSegment(seg(i));
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
        const auto at = body.find("SEQUENCE:") + 9;
        const long first = std::stol(body.substr(at));
        int count = 0;
        for (auto pos = body.find("segment"); pos != std::string::npos;
             pos = body.find("segment", pos + 1)) {
            EXPECT_EQ(std::stol(body.substr(pos + 7)), first + count);
            ++count;
        }
        EXPECT_GE(count, 1);
        EXPECT_LE(count, 8);
        ++checked;
    }
    writer.join();
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace skylark
