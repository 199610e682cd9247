#pragma once

#include <csignal>
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
    // or `timeout` passes first.
    ChildProcess& start(const std::vector<std::string>& argv, const std::function<bool()>& ready,
                        const std::vector<std::string>& extraEnv = {},
                        std::chrono::seconds timeout = std::chrono::seconds(20));
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

// A desktop whose portal asks through its own dialog, answered by input as a person's own.
class PortalDesktop {
  public:
    virtual ~PortalDesktop() = default;
    DesktopSession& session() { return session_; }
    std::vector<std::string> clientEnv() const;  // what a Wayland client of it needs
    // Presses the keys (X keysyms) in order and lets them go in reverse, as a shortcut is typed.
    virtual void keys(const std::vector<unsigned>& keysyms) = 0;
    virtual void click(double x, double y) = 0;  // in the monitor's pixels
    virtual void share() = 0;  // the monitor's row of the portal's dialog (open or about to be)
    void endPortalBackend() { backend_->stop(SIGTERM); }  // the compositor ends its shares
    int castStreams() const;  // how many video streams the compositor offers on PipeWire

  protected:
    // The portal with its backend `path`, once that owns `busName`, both with `env`.
    void startPortal(const std::string& path, const std::string& busName,
                     const std::vector<std::string>& env);
    DesktopSession session_;
    ChildProcess* backend_ = nullptr;
};

constexpr unsigned kControlKey = 0xffe3, kAltKey = 0xffe9, kEscapeKey = 0xff1b, kReturnKey = 0xff0d;

}  // namespace skylark::testing
