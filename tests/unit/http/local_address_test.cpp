#include "http/local_address.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>

namespace skylark {
namespace {

InterfaceEntry v4(const char* name, const char* address) {
    return {name, AF_INET, address};
}

TEST(LocalAddress, OnlyLanAdaptersQualify) {
    for (const char* name : {"en0", "eth0", "enp3s0", "eno1", "wlan0", "wlp2s0"}) {
        EXPECT_EQ(chooseLocalAddress({v4(name, "10.3.3.3")}), "10.3.3.3") << name;
    }
    for (const char* name :
         {"lo", "docker0", "br-1a2b", "virbr0", "veth12", "tun0", "wg0", "tailscale0", "bridge0"}) {
        EXPECT_EQ(chooseLocalAddress({v4(name, "10.3.3.3")}), "127.0.0.1") << name;
    }
}

TEST(LocalAddress, WalksTheListInOrder) {
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
