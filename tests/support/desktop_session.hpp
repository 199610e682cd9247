#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace skylark::testing {

// The programs of one private desktop session, in a private runtime folder with a session bus
// that activates nothing and that any user may join (a compositor that refuses to run as root
// runs as nobody). Each program is ended by its PID, the last started first.
class DesktopSession {
  public:
    DesktopSession();
    ~DesktopSession();
    const std::string& runtime() const { return root_.path(); }
    const std::string& busAddress() const { return address_; }
    const std::vector<std::string>& env() const { return env_; }  // its runtime, home and bus
    // Starts `argv` with env() and `extraEnv` and waits until `ready` holds; throws when it ends
    // or 20 s pass first.
    ChildProcess& start(const std::vector<std::string>& argv, const std::function<bool()>& ready,
                        const std::vector<std::string>& extraEnv = {});
    bool owns(const std::string& busName) const;
    void startPipeWire();  // and its session manager, ready to link streams
    // A D-Bus call by dbus-send: its reply as printed, or an empty string on an error.
    std::string call(const std::string& destination, const std::string& path,
                     const std::string& method, const std::vector<std::string>& arguments) const;

  private:
    TempDir root_{"skylark-session-"};
    std::string address_;
    std::vector<std::string> env_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

}  // namespace skylark::testing
