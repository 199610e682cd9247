#include "http/local_address.hpp"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

namespace skylark {

bool isLanInterfaceName(const std::string& name) {
    return name.starts_with("eth") || name.starts_with("en") || name.starts_with("wl");
}

std::string chooseLocalAddress(const std::vector<InterfaceEntry>& entries) {
    for (const InterfaceEntry& entry : entries) {
        if (entry.family != AF_INET || !isLanInterfaceName(entry.name)) {
            continue;
        }
        // An entry whose address could not be converted is passed over like a loopback one.
        if (entry.address.empty() || entry.address.starts_with("127.")) {
            continue;
        }
        return entry.address;
    }
    return "127.0.0.1";
}

std::vector<InterfaceEntry> systemInterfaces() {
    ifaddrs* head = nullptr;
    if (::getifaddrs(&head) != 0) {
        return {};
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(head, &::freeifaddrs);
    std::vector<InterfaceEntry> entries;
    for (const ifaddrs* entry = head; entry != nullptr; entry = entry->ifa_next) {
        InterfaceEntry out;
        out.name = entry->ifa_name ? entry->ifa_name : "";
        if (entry->ifa_addr != nullptr) {
            out.family = entry->ifa_addr->sa_family;
        }
        if (out.family == AF_INET) {
            char host[NI_MAXHOST + 1] = {};
            if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                              NI_NUMERICHOST) == 0) {
                out.address = host;
            }
        }
        entries.push_back(std::move(out));
    }
    return entries;
}

std::string localAddress() { return chooseLocalAddress(systemInterfaces()); }

}  // namespace skylark
