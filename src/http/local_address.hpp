#pragma once

#include <string>
#include <vector>

namespace skylark {

// One entry of the system's interface list, as the address walk needs it.
struct InterfaceEntry {
    std::string name;
    int family = 0;       // AF_INET, AF_INET6, ...; 0 when the entry has no address
    std::string address;  // numeric host text; empty when it has none or conversion failed
};

// Whether an interface of that name is a LAN adapter the TV can reach us on: Ethernet ("eth*",
// "en*": en0, enp3s0, eno1) or Wi-Fi ("wl*"). Loopback, bridges, containers, VPNs never are.
bool isLanInterfaceName(const std::string& name);

// The first IPv4 address, in list order, on a LAN interface that is not a 127.x address;
// "127.0.0.1" when there is none.
std::string chooseLocalAddress(const std::vector<InterfaceEntry>& entries);

// The system's interface list (getifaddrs); empty when it is unavailable.
std::vector<InterfaceEntry> systemInterfaces();

// chooseLocalAddress(systemInterfaces()), evaluated afresh on every call.
std::string localAddress();

}  // namespace skylark
