#include "http/request_guard.hpp"

#include <gtest/gtest.h>

#include "http/request_framing.hpp"

namespace skylark {
namespace {

TEST(RequestGuard, TrustedHostNames) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"192.168.1.7:8765", true}, {"127.0.0.1", true}, {"[::1]:8765", true}, {"[fe80::1]", true},
        {"::1", true}, {"LOCALHOST", true}, {"localhost.", true}, {"skylark-box.local:8765", true},
        {"MyPC", true}, {"otherpc:8765", true}, {"tv.lan", true}, {"pc.home.arpa", true},
        {"box.internal:8765", true}, {"pc.localdomain", true}, {"evil.com", false},
        {"evil.com:8765", false}, {"localhost.evil.com", false}, {"192.168.1.7.nip.io", false},
        {"", false}, {":8765", false}, {"[evil.com]", false}, {"1.2.3", false},
        {"mypc.evil.com", false}, {"lan.evil.com", false}, {"evil.com.", false},
        {"a..lan", false}, {".lan", false}, {"my pc", false}, {"mypc/x", false},
    };
    for (const auto& [host, trusted] : cases) {
        EXPECT_EQ(isTrustedHost(host, "mypc"), trusted) << host;
    }
}

// The status that refuses a request before its body is read, or "" when it is served.
TEST(RequestGuard, RefusalsBeforeTheBody) {
    struct Case {
        const char* header;
        std::int64_t length;
        const char* status;
    };
    const Case cases[] = {
        {"GET /live/stream.m3u8 HTTP/1.1", 0, ""},  // no Host: served as before
        {"GET / HTTP/1.1\r\nHost: 10.0.0.5:8765", 0, ""},
        {"GET /live/init.mp4 HTTP/1.1\r\nHost: attacker.example:8765", 0, "403 Forbidden"},
        {"GET / HTTP/1.1\r\nHost: 10.0.0.5\r\nHost: attacker.example", 0, "403 Forbidden"},
        {"POST /api/offer HTTP/1.1\r\nHost: mypc:8765\r\nOrigin: http://MyPC:8765", 9, ""},
        {"POST /api/answer HTTP/1.1\r\nHost: 10.0.0.5:8765", 9, ""},  // curl and scripts
        {"POST /api/offer HTTP/1.1\r\nHost: 10.0.0.5:8765\r\nOrigin: http://203.0.113.9", 9,
         "403 Forbidden"},
        {"POST /api/offer HTTP/1.1\r\nHost: localhost:8765\r\nOrigin: http://localhost:3000", 9,
         "403 Forbidden"},
        {"POST /api/offer HTTP/1.1\r\nHost: localhost:8765\r\nOrigin: https://localhost:8765", 9,
         "403 Forbidden"},
        {"POST /api/reset HTTP/1.1\r\nOrigin: http://localhost:8765", 0, "403 Forbidden"},
        {"POST /api/reset HTTP/1.1\r\nHost: localhost:8765\r\nOrigin: null", 0, "403 Forbidden"},
        // A cross-site GET cannot read the response without CORS; only POSTs change state.
        {"GET /api/info HTTP/1.1\r\nOrigin: https://attacker.example", 0, ""},
        {"POST /api/offer HTTP/1.1", kMaxBodyBytes, ""},
        {"POST /api/offer HTTP/1.1", kMaxBodyBytes + 1, "413 Payload Too Large"},
        {"POST /api/reset HTTP/1.1", 1, "413 Payload Too Large"},
        {"GET /api/offer HTTP/1.1", 1, "413 Payload Too Large"},
        {"POST /live/segment0.m4s HTTP/1.1", 1, "413 Payload Too Large"},
    };
    for (const Case& c : cases) {
        const auto refusal = refuseRequest(parseRequest(c.header, nullptr), c.length, "mypc");
        EXPECT_EQ(refusal ? refusal->status : "", c.status) << c.header << " " << c.length;
        if (refusal) {
            EXPECT_EQ(refusal->contentType, "text/plain");
        }
    }
}

}  // namespace
}  // namespace skylark
