#include "http/routes.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "http/local_address.hpp"
#include "http/request_framing.hpp"

namespace skylark {
namespace {

class RoutesTest : public ::testing::Test {
protected:
    struct Step {
        std::string request, body, status, contentType, replyBody;
    };
    // Each request in order, against the state the earlier ones left.
    void expectReplies(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            const HTTPResponse r =
                route(parseRequest(s.request + " HTTP/1.1", makeBuffer(s.body)), context_);
            EXPECT_EQ(r.status + "|" + r.contentType + "|" + std::string(asText(*r.body)),
                      s.status + "|" + s.contentType + "|" + s.replyBody)
                << s.request;
        }
    }

    SignalState state_;
    LiveHLSStore store_;
    RouteContext context_{8765, &state_, &store_,
                          [](std::string_view name) {
                              return makeBuffer(name == "tv.html" ? "Skylark resources missing"
                                                                  : "<" + std::string(name) + ">");
                          },
                          [] { return std::string("192.168.1.7"); }};
};

const std::string kOK = "200 OK", kJSON = "application/json", kHTML = "text/html; charset=utf-8";
const std::string kNotFound = "404 Not Found", kNone = "204 No Content";

TEST_F(RoutesTest, PagesInfoAndTheOneNotFound) {
    state_.requestStop();
    state_.requestStop();
    std::vector<Step> steps = {
        {"GET /", "", kOK, kHTML, "<sender.html>"},
        {"GET /sender.html", "", kOK, kHTML, "<sender.html>"},
        {"GET /tv.html", "", kOK, kHTML, "Skylark resources missing"},
        {"GET /skylark-logo.png", "", kOK, "image/png", "<skylark-logo.png>"},
        {"GET /api/info?x=1", "", kOK, kJSON, "{\"address\":\"192.168.1.7\",\"port\":8765}"},
        {"GET /api/command", "", kOK, kJSON, "{\"stopToken\":2}"},
        {"GET /api/live", "", kOK, kJSON, "{\"active\":false}"},
    };
    for (const char* request :
         {"GET /index.html", "GET /api/info/", "GET /TV.html", "get /", "GET /../web/tv.html",
          "GET //evil.com", "GET /%5C..%5Ctv.html", "GET /api/reset", "HEAD /",
          "OPTIONS /api/offer", "POST /api/info"}) {
        steps.push_back({request, "", kNotFound, "text/plain", "Not found"});
    }
    expectReplies(steps);
}

TEST_F(RoutesTest, RelayStoresBytesAsTheyCame) {
    expectReplies({
        {"GET /api/offer", "", kNone, kJSON, ""},
        {"POST /api/offer", "", kOK, kJSON, "{\"ok\":true}"},
        {"GET /api/offer", "", kOK, kJSON, ""},  // an empty offer is present
        {"POST /api/offer", "A", kOK, kJSON, "{\"ok\":true}"},
        {"POST /api/answer", std::string("B\0\xFF", 3), kOK, kJSON, "{\"ok\":true}"},
        {"GET /api/answer", "", kOK, kJSON, std::string("B\0\xFF", 3)},
        {"POST /api/offer", "C", kOK, kJSON, "{\"ok\":true}"},
        {"GET /api/answer", "", kNone, kJSON, ""},
        {"GET /api/offer", "", kOK, kJSON, "C"},
        {"POST /api/reset", "", kOK, kJSON, "{\"ok\":true}"},
        {"GET /api/offer", "", kNone, kJSON, ""},
        {"POST /api/offer", "D", kOK, kJSON, "{\"ok\":true}"},
        {"POST /api/answer", "E", kOK, kJSON, "{\"ok\":true}"},
    });
    state_.requestStop();  // from the menu: clears both, and the counter outlives a reset
    expectReplies({{"GET /api/offer", "", kNone, kJSON, ""},
                   {"GET /api/answer", "", kNone, kJSON, ""},
                   {"POST /api/reset", "", kOK, kJSON, "{\"ok\":true}"},
                   {"GET /api/command", "", kOK, kJSON, "{\"stopToken\":1}"}});
}

TEST_F(RoutesTest, LiveStreamRoutes) {
    expectReplies({{"GET /live/stream.m3u8", "", kNotFound, "application/vnd.apple.mpegurl", ""},
                   {"GET /live/init.mp4", "", kNotFound, "video/mp4", ""}});
    store_.reset();
    store_.addInitialization(makeBuffer("INIT"));
    for (int i = 0; i < 13; ++i) {
        store_.addSegment(makeBuffer("S" + std::to_string(i)));
    }
    std::string playlist =
        "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:5\n"
        "#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"init.mp4\"\n";
    for (int i = 5; i <= 12; ++i) {
        playlist += "#EXTINF:0.250,\nsegment" + std::to_string(i) + ".m4s\n";
    }
    const std::string segment = "video/iso.segment";
    expectReplies({
        {"GET /live/stream.m3u8", "", kOK, "application/vnd.apple.mpegurl", playlist},
        {"GET /live/init.mp4", "", kOK, "video/mp4", "INIT"},
        {"GET /api/live", "", kOK, kJSON, "{\"active\":true}"},
        {"GET /live/segment12.m4s?t=5", "", kOK, segment, "S12"},
        {"POST /live/segment+12.m4s", "", kOK, segment, "S12"},
        {"HEAD /live/segment0012.m4s", "", kOK, segment, "S12"},
        {"GET /live/segment4.m4s", "", kNotFound, "text/plain", "Not found"},  // left the window
    });
    EXPECT_EQ(segmentIdentifier("/live/segment-9223372036854775808.m4s"), INT64_MIN);
    for (const char* path : {"/live/segment9223372036854775808.m4s", "/live/segment.m4s",
                             "/live/segment+.m4s", "/live/segment12a.m4s", "/live/segment12.mp4",
                             "/live/segment 1.m4s", "/live/segment+-1.m4s", "/live/segmen.m4s"}) {
        EXPECT_EQ(segmentIdentifier(path), std::nullopt) << path;
    }
}

TEST(LocalAddress, FirstLanAdapterInListOrder) {
    const auto v4 = [](const char* name, const char* ip) {
        return InterfaceEntry{name, AF_INET, ip};
    };
    for (const char* name : {"en0", "eth0", "enp3s0", "eno1", "wlan0", "wlp2s0"}) {
        EXPECT_EQ(chooseLocalAddress({v4(name, "10.3.3.3")}), "10.3.3.3") << name;
    }
    for (const char* name :
         {"lo", "docker0", "br-1a2b", "virbr0", "veth12", "tun0", "wg0", "tailscale0", "bridge0"}) {
        EXPECT_EQ(chooseLocalAddress({v4(name, "10.3.3.3")}), "127.0.0.1") << name;
    }
    const std::vector<std::pair<std::vector<InterfaceEntry>, const char*>> cases = {
        {{}, "127.0.0.1"},
        {{v4("en1", "10.0.0.5"), v4("en0", "192.168.1.7")}, "10.0.0.5"},
        {{{"en0", AF_INET6, "fe80::1"}, v4("en1", "10.0.0.9")}, "10.0.0.9"},
        {{v4("eth0", "127.0.1.1"), v4("wlan0", "192.168.0.3")}, "192.168.0.3"},
        {{v4("en0", "127.0.0.5")}, "127.0.0.1"},
        {{{"eth0", 0, ""}, v4("eth0", ""), v4("eth0", "10.1.1.1")}, "10.1.1.1"},
    };
    for (const auto& [entries, expected] : cases) {
        EXPECT_EQ(chooseLocalAddress(entries), expected);
    }
}

}  // namespace
}  // namespace skylark
