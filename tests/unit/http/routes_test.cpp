#include "http/routes.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "http/local_address.hpp"
#include "http/request_framing.hpp"
#include "http/response_writer.hpp"

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

// Viewers that answer when the test says, as webrtcbin does on its own threads.
struct FakeViewers : WebRTCViewers {
    void open(std::string offer, AnswerHandler done) override {
        offers.push_back(offer), pending = std::move(done);
    }
    bool close(std::string_view id) override { return id == "ab12"; }
    std::vector<std::string> offers;
    AnswerHandler pending;
};

TEST_F(RoutesTest, WebRTCOfferWaitsForItsAnswerWithoutHoldingTheServer) {
    using Outcome = WebRTCViewers::Answer::Outcome;
    FakeViewers viewers;
    int wakes = 0;
    const auto post = [&](std::string type) {
        const std::string header = "POST /live/whep HTTP/1.1\r\nHost: tv" + type;
        return route(parseRequest(header, makeBuffer("v=0 offer")), context_);
    };
    const auto text = [](const HTTPResponse& r) {
        return r.status + "|" + r.contentType + "|" + r.location + "|" +
               std::string(asText(*r.body));
    };
    const std::string sdp = "\r\nContent-Type: application/sdp";
    // Without viewers (no GStreamer) every offer is answered as if no cast were live.
    EXPECT_EQ(text(post(sdp)), "503 Service Unavailable|text/plain||No cast is live.");
    context_.whep = {&viewers, [&] { ++wakes; }, std::chrono::milliseconds(500)};
    for (const char* type :
         {"", "\r\nContent-Type: text/plain", "\r\nContent-Type: application/sdpx",
          "\r\nContent-Type: application/sdp\r\nContent-Type: text/plain"}) {
        EXPECT_EQ(post(type).status, "415 Unsupported Media Type") << type;
    }
    EXPECT_TRUE(viewers.offers.empty());

    const struct {
        std::string type;
        std::optional<WebRTCViewers::Answer> answer;  // none: the answer never comes
        std::string response;
    } cases[] = {
        {sdp,
         {{Outcome::answered, "ab12", "v=0 answer", ""}},
         "201 Created|application/sdp|/live/whep/ab12|v=0 answer"},
        {"\r\ncontent-type: Application/SDP ; charset=utf-8",
         {{Outcome::notLive, "", "", ""}},
         "503 Service Unavailable|text/plain||No cast is live."},
        {sdp,
         {{Outcome::full, "", "", ""}},
         "503 Service Unavailable|text/plain||Every WebRTC place is taken; this TV plays the HLS "
         "stream."},
        {sdp,
         {{Outcome::badOffer, "", "", "The offer has no H.264 video."}},
         "400 Bad Request|text/plain||The offer has no H.264 video."},
        {sdp, std::nullopt,
         "503 Service Unavailable|text/plain||The WebRTC session could not be set up in time."},
    };
    for (const auto& c : cases) {
        const HTTPResponse waiting = post(c.type);
        ASSERT_TRUE(waiting.stream);
        const auto start = ResponseStream::Clock::now();
        EXPECT_EQ(waiting.stream->next(start).kind, ResponseStream::Step::Kind::wait);
        const int wakesBefore = wakes;
        if (c.answer) {
            viewers.pending(*c.answer);
        }
        EXPECT_EQ(wakes, wakesBefore + (c.answer ? 1 : 0));
        const ResponseStream::Step step =
            waiting.stream->next(start + std::chrono::milliseconds(c.answer ? 0 : 500));
        EXPECT_EQ(step.kind, ResponseStream::Step::Kind::respond);
        EXPECT_EQ(text(step.response), c.response);
        EXPECT_EQ(responseHeader(step.response).find("\r\nLocation: /live/whep/ab12\r\n") !=
                      std::string::npos,
                  step.response.status == "201 Created");
    }
    EXPECT_EQ(viewers.offers.back(), "v=0 offer");
    expectReplies({{"DELETE /live/whep/ab12", "", kNone, "text/plain", ""},
                   {"DELETE /live/whep/ab13", "", kNotFound, "text/plain", "Not found"},
                   {"DELETE /live/whep", "", kNotFound, "text/plain", "Not found"},
                   {"GET /live/whep", "", kNotFound, "text/plain", "Not found"}});
    EXPECT_EQ(maxBodyBytes("POST", "/live/whep"), 64 * 1024);
    EXPECT_EQ(maxBodyBytes("DELETE", "/live/whep/ab12"), 0);
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
