#include "http/request_guard.hpp"

#include <gtest/gtest.h>

namespace skylark {
namespace {

TEST(RequestGuard, TrustedHostNames) {
    for (const char* host :
         {"192.168.1.7:8765", "127.0.0.1", "[::1]:8765", "[fe80::1]", "::1", "LOCALHOST",
          "localhost.", "skylark-box.local:8765", "MyPC", "otherpc:8765", "tv.lan", "pc.home.arpa",
          "box.internal:8765", "pc.localdomain"}) {
        EXPECT_TRUE(isTrustedHost(host, "mypc")) << host;
    }
    for (const char* host :
         {"evil.com", "evil.com:8765", "localhost.evil.com", "192.168.1.7.nip.io", "", ":8765",
          "[evil.com]", "1.2.3", "mypc.evil.com", "lan.evil.com", "evil.com.", "a..lan", ".lan",
          "my pc", "mypc/x"}) {
        EXPECT_FALSE(isTrustedHost(host, "mypc")) << host;
    }
}

}  // namespace
}  // namespace skylark
