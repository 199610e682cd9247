#include "http/local_address.hpp"

#include <netinet/in.h>
#include <gtest/gtest.h>

namespace skylark {
namespace {

InterfaceEntry v4(const char* name, const char* address) { return {name, AF_INET, address}; }
InterfaceEntry v6(const char* name, const char* address) { return {name, AF_INET6, address}; }

TEST(LocalAddress, WalksTheListInOrder) {
    struct Case {
        const char* what;
        std::vector<InterfaceEntry> entries;
        const char* expected;
    };
    const Case cases[] = {
        {"no network", {}, "127.0.0.1"},
        {"first qualifying wins", {v4("en1", "10.0.0.5"), v4("en0", "192.168.1.7")}, "10.0.0.5"},
        {"IPv6 is ignored", {v6("en0", "fe80::1"), v4("en1", "10.0.0.9")}, "10.0.0.9"},
        {"loopback text passed over", {v4("eth0", "127.0.1.1"), v4("wlan0", "192.168.0.3")},
         "192.168.0.3"},
        {"only loopback text", {v4("en0", "127.0.0.5")}, "127.0.0.1"},
        {"entry without address", {{"eth0", 0, ""}, v4("eth0", "10.1.1.1")}, "10.1.1.1"},
        {"failed conversion", {v4("eth0", ""), v4("enp3s0", "10.2.2.2")}, "10.2.2.2"},
        {"predictable names", {v4("eno1", "10.3.3.3")}, "10.3.3.3"},
        {"wifi", {v4("wlp2s0", "10.4.4.4")}, "10.4.4.4"},
        {"virtual interfaces never",
         {v4("lo", "10.9.9.9"), v4("docker0", "172.17.0.1"), v4("br-1a2b", "172.18.0.1"),
          v4("virbr0", "192.168.122.1"), v4("veth12", "10.8.8.8"), v4("tun0", "10.7.7.7"),
          v4("wg0", "10.6.6.6"), v4("tailscale0", "100.64.0.1"), v4("bridge0", "10.5.5.5")},
         "127.0.0.1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chooseLocalAddress(c.entries), c.expected) << c.what;
    }
}

TEST(LocalAddress, SystemListHasNumericIPv4Text) {
    for (const InterfaceEntry& entry : systemInterfaces()) {
        if (entry.family == AF_INET) {
            EXPECT_NE(entry.address.find('.'), std::string::npos) << entry.name;
        }
    }
}

}  // namespace
}  // namespace skylark
