#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace skylark {

// Advertises the server over DNS-SD through the Avahi daemon, on a thread of its own, for as
// long as the object lives. Advertising never fails the server: without a daemon it logs why and
// registers when the daemon appears; on a name collision it takes Avahi's alternative name.
class DnsSdAdvertiser {
public:
    DnsSdAdvertiser(std::string name, std::string type, std::uint16_t port);
    ~DnsSdAdvertiser();
    DnsSdAdvertiser(const DnsSdAdvertiser&) = delete;
    DnsSdAdvertiser& operator=(const DnsSdAdvertiser&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The computer's user-visible name: the pretty host name if one is set, else the host name.
std::string computerName();

// The computer's host name (gethostname), empty if unknown.
std::string hostName();

}  // namespace skylark
