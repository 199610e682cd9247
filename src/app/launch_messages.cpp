#include "app/launch_messages.hpp"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace skylark {

std::string tvAddress(const std::string& address, std::uint16_t port) {
    return "http://" + address + ":" + std::to_string(port);
}

std::string tvAddressLine(const std::string& address, std::uint16_t port) {
    return "Fire TV: " + tvAddress(address, port);
}

namespace {

// Asio reports socket errors in a category of its own that knows no portable conditions, so
// the errno value is compared for the categories that carry errno values.
bool isAddressInUse(const std::exception& error) {
    const auto* systemError = dynamic_cast<const std::system_error*>(&error);
    if (systemError == nullptr) {
        return false;
    }
    const std::error_code& code = systemError->code();
    const std::string_view category = code.category().name();
    return code == std::errc::address_in_use ||
           (code.value() == EADDRINUSE && (category == "system" || category == "asio.system"));
}

}  // namespace

std::string startFailureText(const std::exception& error, std::uint16_t port) {
    if (isAddressInUse(error)) {
        const std::string portText = std::to_string(port);
        return "Skylark is already running: port " + portText +
               " is in use. If Skylark is not running, another program holds port " + portText +
               "; quit that program and start Skylark again.\n(" + error.what() + ")";
    }
    return error.what();
}

void printTVAddress(const std::string& address, std::uint16_t port) {
    std::printf("%s\n", tvAddressLine(address, port).c_str());
    std::fflush(stdout);
}

void printStartFailure(const std::string& text) {
    std::fprintf(stderr, "%s\n%s\n", kStartFailedText, text.c_str());
    std::fflush(stderr);
}

}  // namespace skylark
