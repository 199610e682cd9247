#pragma once

#include <csignal>
#include <memory>
#include <string>

#include "support/child_process.hpp"

namespace skylark::testing {

// An Xvfb server on a display number of its own choosing, ended by its PID.
class XvfbServer {
  public:
    // A `width` x `height` 24-bit screen that accepts clients; throws when it does not come up.
    XvfbServer(unsigned width, unsigned height);
    const std::string& display() const { return display_; }  // ":<n>"
    void kill() { process_->stop(SIGTERM); }                 // its clients' connections break

  private:
    std::unique_ptr<ChildProcess> process_;
    std::string display_;
};

// A PulseAudio daemon in private folders whose default sink is the null sink "tvsink" (48 kHz
// stereo), so its monitor is the default monitor. Throws when it does not come up.
class PulseServer {
  public:
    PulseServer();
    const std::string& address() const { return address_; }  // "unix:<runtime>/pulse/native"
    void kill() { process_->stop(SIGTERM); }

  private:
    TempDir runtime_{"skylark-pulse-"};
    std::string address_ = "unix:" + runtime_.path() + "/pulse/native";
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace skylark::testing
