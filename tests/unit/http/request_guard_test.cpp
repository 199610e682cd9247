#include "http/request_guard.hpp"

#include <gtest/gtest.h>

#include "http/request_framing.hpp"

namespace skylark {
namespace {

TEST(RequestGuard, TrustedHostNames) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"192.168.1.7:8765", true}, {"127.0.0.1", true},       {"[::1]:8765", true},
        {"[fe80::1]", true},        {"::1", true},             {"localhost:8765", true},
        {"LOCALHOST", true},        {"localhost.", true},      {"skylark-box.local:8765", true},
        {"MyPC", true},             {"mypc:8765", true},       {"evil.com", false},
        {"evil.com:8765", false},   {"localhost.evil.com", false}, {"192.168.1.7.nip.io", false},
        {"", false},                {":8765", false},          {"[evil.com]", false},
        {"1.2.3", false},           {"mypc.evil.com", false},  {"local", false},
    };
    for (const auto& [host, trusted] : cases) {
        EXPECT_EQ(isTrustedHost(host, "mypc"), trusted) << host;
    }
}

bool rejected(const std::string& header) {
    return rejectUntrustedRequest(parseRequest(header, nullptr), "mypc").has_value();
}

TEST(RequestGuard, RejectsRebindingAndCrossSitePosts) {
    EXPECT_FALSE(rejected("GET /live/stream.m3u8 HTTP/1.1"));  // no Host: served as before
    EXPECT_FALSE(rejected("GET / HTTP/1.1\r\nHost: 10.0.0.5:8765"));
    EXPECT_TRUE(rejected("GET /live/init.mp4 HTTP/1.1\r\nHost: attacker.example:8765"));
    EXPECT_TRUE(rejected("GET / HTTP/1.1\r\nHost: 10.0.0.5\r\nHost: attacker.example"));

    EXPECT_FALSE(rejected("POST /api/offer HTTP/1.1\r\nHost: localhost:8765\r\n"
                          "Origin: http://localhost:8765"));
    EXPECT_FALSE(rejected("POST /api/answer HTTP/1.1\r\nOrigin: http://192.168.1.7:8765"));
    EXPECT_TRUE(rejected("POST /api/reset HTTP/1.1\r\nHost: localhost:8765\r\n"
                         "Origin: https://attacker.example"));
    EXPECT_TRUE(rejected("POST /api/reset HTTP/1.1\r\nOrigin: null"));
    // A cross-site GET cannot read the response without CORS; only POSTs change state.
    EXPECT_FALSE(rejected("GET /api/info HTTP/1.1\r\nOrigin: https://attacker.example"));

    const auto response =
        rejectUntrustedRequest(parseRequest("GET / HTTP/1.1\r\nHost: a.example", nullptr), "");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, "403 Forbidden");
    EXPECT_EQ(response->contentType, "text/plain");
    EXPECT_EQ(asText(*response->body), "Forbidden");
}

}  // namespace
}  // namespace skylark
