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
            ++fileReads_;
            const auto it = files_.find(std::string(name));
            return makeBuffer(it == files_.end() ? "Skylark resources missing" : it->second);
        };
        context_.localAddress = [this] { return address_; };
    }

    struct Reply {
        std::string status, contentType, body;
    };

    Reply call(const std::string& method, const std::string& target, std::string body = "") {
        const HTTPRequest request =
            parseRequest(method + " " + target + " HTTP/1.1\r\nHost: x", makeBuffer(body));
        const HTTPResponse response = route(request, context_);
        return {response.status, response.contentType, std::string(asText(*response.body))};
    }

    SignalState state_;
    LiveHLSStore store_;
    RouteContext context_;
    std::map<std::string, std::string> files_ = {{"sender.html", "<sender>"},
                                                 {"tv.html", "<tv>"},
                                                 {"skylark-logo.png", "PNG"}};
    std::string address_ = "192.168.1.7";
    int fileReads_ = 0;
};

const char* kNotFound = "404 Not Found";

TEST_F(RoutesTest, PagesAndLogoAreReadOnEveryRequest) {
    EXPECT_EQ(call("GET", "/").body, "<sender>");
    EXPECT_EQ(call("GET", "/sender.html").contentType, "text/html; charset=utf-8");
    EXPECT_EQ(call("GET", "/tv.html").body, "<tv>");
    const Reply logo = call("GET", "/skylark-logo.png");
    EXPECT_EQ(logo.contentType, "image/png");
    EXPECT_EQ(logo.body, "PNG");
    EXPECT_EQ(fileReads_, 4);

    files_.erase("tv.html");
    const Reply missing = call("GET", "/tv.html");
    EXPECT_EQ(missing.status, "200 OK");
    EXPECT_EQ(missing.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(missing.body, "Skylark resources missing");
}

TEST_F(RoutesTest, UnknownPathsAndMethodsGetTheOneNotFound) {
    for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
             {"GET", "/index.html"}, {"GET", "/api/info/"}, {"GET", "/TV.html"},
             {"HEAD", "/"}, {"OPTIONS", "/api/offer"}, {"POST", "/api/info"},
             {"GET", "/api/reset"}, {"get", "/"}, {"GET", "/../web/tv.html"},
             {"GET", "//evil.com"}, {"GET", "/%5C..%5Ctv.html"}}) {
        const Reply reply = call(method, path);
        EXPECT_EQ(reply.status, kNotFound) << method << " " << path;
        EXPECT_EQ(reply.contentType, "text/plain");
        EXPECT_EQ(reply.body, "Not found");
    }
    EXPECT_EQ(fileReads_, 0);
}

TEST_F(RoutesTest, InfoCommandAndLive) {
    EXPECT_EQ(call("GET", "/api/info").body, "{\"address\":\"192.168.1.7\",\"port\":8765}");
    EXPECT_EQ(call("GET", "/api/info?x=1").contentType, "application/json");
    state_.requestStop();
    state_.requestStop();
    EXPECT_EQ(call("GET", "/api/command").body, "{\"stopToken\":2}");
    EXPECT_EQ(call("GET", "/api/live").body, "{\"active\":false}");
}

TEST_F(RoutesTest, RelayStoresBytesAsTheyCame) {
    const Reply none = call("GET", "/api/offer");
    EXPECT_EQ(none.status, "204 No Content");
    EXPECT_EQ(none.contentType, "application/json");
    EXPECT_EQ(none.body, "");

    EXPECT_EQ(call("POST", "/api/offer", "").body, "{\"ok\":true}");
    EXPECT_EQ(call("GET", "/api/offer").status, "200 OK") << "an empty offer is present";

    call("POST", "/api/offer", "A");
    call("POST", "/api/answer", std::string("B\0\xFF", 3));
    EXPECT_EQ(call("GET", "/api/answer").body, std::string("B\0\xFF", 3));
    call("POST", "/api/offer", "C");
    EXPECT_EQ(call("GET", "/api/answer").status, "204 No Content");
    EXPECT_EQ(call("GET", "/api/offer").body, "C");

    EXPECT_EQ(call("POST", "/api/reset", "ignored").body, "{\"ok\":true}");
    EXPECT_EQ(call("GET", "/api/offer").status, "204 No Content");
}

TEST_F(RoutesTest, LiveStreamRoutes) {
    const Reply noPlaylist = call("GET", "/live/stream.m3u8");
    EXPECT_EQ(noPlaylist.status, kNotFound);
    EXPECT_EQ(noPlaylist.contentType, "application/vnd.apple.mpegurl");
    EXPECT_EQ(noPlaylist.body, "");
    const Reply noInit = call("GET", "/live/init.mp4");
    EXPECT_EQ(noInit.status, kNotFound);
    EXPECT_EQ(noInit.contentType, "video/mp4");

    store_.reset();
    store_.addInitialization(makeBuffer("INIT"));
    for (int i = 0; i < 13; ++i) {
        store_.addSegment(makeBuffer("S" + std::to_string(i)));
    }
    EXPECT_EQ(call("GET", "/live/init.mp4").body, "INIT");
    EXPECT_TRUE(call("GET", "/live/stream.m3u8").body.starts_with("#EXTM3U\n"));
    EXPECT_EQ(call("GET", "/api/live").body, "{\"active\":true}");

    const Reply segment = call("GET", "/live/segment12.m4s?t=5");
    EXPECT_EQ(segment.status, "200 OK");
    EXPECT_EQ(segment.contentType, "video/iso.segment");
    EXPECT_EQ(segment.body, "S12");
    EXPECT_EQ(call("POST", "/live/segment+12.m4s").body, "S12");
    EXPECT_EQ(call("HEAD", "/live/segment0012.m4s").body, "S12");
    EXPECT_EQ(call("GET", "/live/segment4.m4s").status, kNotFound) << "left the window";
}

TEST(SegmentIdentifier, Rules) {
    const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases = {
        {"/live/segment12.m4s", 12},
        {"/live/segment+12.m4s", 12},
        {"/live/segment0012.m4s", 12},
        {"/live/segment-1.m4s", -1},
        {"/live/segment9223372036854775807.m4s", INT64_MAX},
        {"/live/segment-9223372036854775808.m4s", INT64_MIN},
        {"/live/segment9223372036854775808.m4s", std::nullopt},
        {"/live/segment.m4s", std::nullopt},
        {"/live/segment+.m4s", std::nullopt},
        {"/live/segment12a.m4s", std::nullopt},
        {"/live/segment12.mp4", std::nullopt},
        {"/live/segmentx.m4s", std::nullopt},
        {"/live/segment 1.m4s", std::nullopt},
        {"/live/segment+-1.m4s", std::nullopt},
        {"/live/segment.m4", std::nullopt},
        {"/live/segmen.m4s", std::nullopt},
    };
    for (const auto& [path, id] : cases) {
        EXPECT_EQ(segmentIdentifier(path), id) << path;
    }
}

}  // namespace
}  // namespace skylark
