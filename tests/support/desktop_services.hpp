#pragma once

#include <memory>
#include <string>

#include "support/child_process.hpp"

namespace skylark::testing {

// An Xvfb server on a private display number, started by the test and ended by its PID.
class XvfbServer {
  public:
    // Starts a `width` x `height` 24-bit screen and waits until clients can connect.
    // Throws std::runtime_error when it does not come up.
    XvfbServer(unsigned width, unsigned height);
    ~XvfbServer();

    const std::string& display() const { return display_; }  // ":<n>"
    void kill();  // the server dies; its clients' connections break

  private:
    std::string display_;
    std::unique_ptr<ChildProcess> process_;
};

// A PulseAudio daemon with one null sink "tvsink" (48 kHz stereo, the default sink, so its
// monitor is the default monitor), in private runtime and home folders.
class PulseServer {
  public:
    PulseServer();  // throws std::runtime_error when it does not come up
    ~PulseServer();

    // The address for clients: "unix:<runtime>/pulse/native".
    const std::string& address() const { return address_; }
    void kill();

  private:
    std::unique_ptr<TempDir> runtime_;
    std::unique_ptr<TempDir> home_;
    std::string address_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace skylark::testing
