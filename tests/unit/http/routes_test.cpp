#include "http/routes.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/request_framing.hpp"

namespace skylark {
namespace {

class RoutesTest : public ::testing::Test {
protected:
    RoutesTest() {
        context_.port = 8765;
        context_.state = &state_;
        context_.liveStore = &store_;
        context_.file = [this](std::string_view name) {
            const auto it = files_.find(std::string(name));
            return makeBuffer(it == files_.end() ? "Skylark resources missing" : it->second);
        };
        context_.localAddress = [] { return std::string("192.168.1.7"); };
    }

    struct Step {
        std::string method, target, body, status, contentType, replyBody;
    };
    // Each request in order, against the state the earlier ones left.
    void expectReplies(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            const HTTPResponse r = route(
                parseRequest(s.method + " " + s.target + " HTTP/1.1", makeBuffer(s.body)), context_);
            EXPECT_EQ(r.status + "|" + r.contentType + "|" + std::string(asText(*r.body)),
                      s.status + "|" + s.contentType + "|" + s.replyBody)
                << s.method << " " << s.target;
        }
    }

    SignalState state_;
    LiveHLSStore store_;
    RouteContext context_;
    std::map<std::string, std::string> files_ = {{"sender.html", "<sender>"},
                                                 {"skylark-logo.png", "PNG"}};
};

const std::string kOK = "200 OK", kJSON = "application/json", kHTML = "text/html; charset=utf-8";
const std::string kNotFound = "404 Not Found", kNone = "204 No Content";

TEST_F(RoutesTest, PagesInfoAndTheOneNotFound) {
    state_.requestStop();
    state_.requestStop();
    std::vector<Step> steps = {
        {"GET", "/", "", kOK, kHTML, "<sender>"},
        {"GET", "/sender.html", "", kOK, kHTML, "<sender>"},
        {"GET", "/tv.html", "", kOK, kHTML, "Skylark resources missing"},
        {"GET", "/skylark-logo.png", "", kOK, "image/png", "PNG"},
        {"GET", "/api/info?x=1", "", kOK, kJSON, "{\"address\":\"192.168.1.7\",\"port\":8765}"},
        {"GET", "/api/command", "", kOK, kJSON, "{\"stopToken\":2}"},
        {"GET", "/api/live", "", kOK, kJSON, "{\"active\":false}"},
    };
    for (const char* target : {"/index.html", "/api/info/", "/TV.html", "/../web/tv.html",
                               "//evil.com", "/%5C..%5Ctv.html", "/api/reset"}) {
        steps.push_back({"GET", target, "", kNotFound, "text/plain", "Not found"});
    }
    steps.push_back({"HEAD", "/", "", kNotFound, "text/plain", "Not found"});
    steps.push_back({"OPTIONS", "/api/offer", "", kNotFound, "text/plain", "Not found"});
    steps.push_back({"POST", "/api/info", "", kNotFound, "text/plain", "Not found"});
    steps.push_back({"get", "/", "", kNotFound, "text/plain", "Not found"});
    expectReplies(steps);
}

TEST_F(RoutesTest, RelayStoresBytesAsTheyCame) {
    expectReplies({
        {"GET", "/api/offer", "", kNone, kJSON, ""},
        {"POST", "/api/offer", "", kOK, kJSON, "{\"ok\":true}"},
        {"GET", "/api/offer", "", kOK, kJSON, ""},  // an empty offer is present
        {"POST", "/api/offer", "A", kOK, kJSON, "{\"ok\":true}"},
        {"POST", "/api/answer", std::string("B\0\xFF", 3), kOK, kJSON, "{\"ok\":true}"},
        {"GET", "/api/answer", "", kOK, kJSON, std::string("B\0\xFF", 3)},
        {"POST", "/api/offer", "C", kOK, kJSON, "{\"ok\":true}"},
        {"GET", "/api/answer", "", kNone, kJSON, ""},
        {"GET", "/api/offer", "", kOK, kJSON, "C"},
        {"POST", "/api/reset", "", kOK, kJSON, "{\"ok\":true}"},
        {"GET", "/api/offer", "", kNone, kJSON, ""},
    });
}

TEST_F(RoutesTest, LiveStreamRoutes) {
    expectReplies({{"GET", "/live/stream.m3u8", "", kNotFound, "application/vnd.apple.mpegurl", ""},
                   {"GET", "/live/init.mp4", "", kNotFound, "video/mp4", ""}});
    store_.reset();
    store_.addInitialization(makeBuffer("INIT"));
    for (int i = 0; i < 13; ++i) {
        store_.addSegment(makeBuffer("S" + std::to_string(i)));
    }
    const std::string segment = "video/iso.segment";
    expectReplies({
        {"GET", "/live/init.mp4", "", kOK, "video/mp4", "INIT"},
        {"GET", "/api/live", "", kOK, kJSON, "{\"active\":true}"},
        {"GET", "/live/segment12.m4s?t=5", "", kOK, segment, "S12"},
        {"POST", "/live/segment+12.m4s", "", kOK, segment, "S12"},
        {"HEAD", "/live/segment0012.m4s", "", kOK, segment, "S12"},
        {"GET", "/live/segment4.m4s", "", kNotFound, "text/plain", "Not found"},  // left the window
    });
}

TEST(SegmentIdentifier, Rules) {
    const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases = {
        {"/live/segment-1.m4s", -1},
        {"/live/segment9223372036854775807.m4s", INT64_MAX},
        {"/live/segment-9223372036854775808.m4s", INT64_MIN},
        {"/live/segment9223372036854775808.m4s", std::nullopt},
        {"/live/segment.m4s", std::nullopt},
        {"/live/segment+.m4s", std::nullopt},
        {"/live/segment12a.m4s", std::nullopt},
        {"/live/segment12.mp4", std::nullopt},
        {"/live/segment 1.m4s", std::nullopt},
        {"/live/segment+-1.m4s", std::nullopt},
        {"/live/segmen.m4s", std::nullopt},
    };
    for (const auto& [path, id] : cases) {
        EXPECT_EQ(segmentIdentifier(path), id) << path;
    }
}

}  // namespace
}  // namespace skylark
