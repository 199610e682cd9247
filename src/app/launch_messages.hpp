#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace skylark {

// The alert's message text when the server cannot start; also the first line on standard error.
inline constexpr const char* kStartFailedText = "Skylark could not start";

// "http://<address>:<port>": what the TV opens, and what "Copy Fire TV Address" copies.
std::string tvAddress(const std::string& address, std::uint16_t port);
// "Fire TV: http://<address>:<port>": the menu's address line and the line printed at start.
std::string tvAddressLine(const std::string& address, std::uint16_t port);

// Why the server could not start, in words a person can act on, followed by the system's own
// error text. A port that is already taken almost always means that Skylark is already
// running, so that case says so first.
std::string startFailureText(const std::exception& error, std::uint16_t port);

// Prints tvAddressLine() on standard output and flushes it: scripts wait for this line.
void printTVAddress(const std::string& address, std::uint16_t port);
// Prints kStartFailedText and `text` on standard error.
void printStartFailure(const std::string& text);

}  // namespace skylark
