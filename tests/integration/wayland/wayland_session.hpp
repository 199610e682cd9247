#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace skylark::testing {

// A private D-Bus session bus that activates nothing: every service on it is one a test
// started itself, so a missing service stays missing.
class PrivateBus {
  public:
    explicit PrivateBus(const std::string& runtimeDir);  // throws std::runtime_error
    ~PrivateBus();
    const std::string& address() const { return address_; }
    // Whether `name` has an owner on the bus now.
    bool hasOwner(const std::string& name) const;

  private:
    std::string address_;
    std::unique_ptr<ChildProcess> process_;
};

// A desktop whose screen can be shared through the real xdg-desktop-portal, in private runtime
// and home folders and on a private bus, with PipeWire and WirePlumber; every program is
// started here and ended by its PID. Its one output, HEADLESS-1, is 640x480 and shows a solid
// `background` colour. The portal's backend is either
// - sway on its headless backend with xdg-desktop-portal-wlr (sway refuses to run as root, so
//   it runs as the unprivileged user 65534 in a runtime folder of its own), or
// - a stand-in for a compositor's backend (tests/integration/wayland/screencast_backend.cpp)
//   that serves the output as a PipeWire node drawing the colour, for machines on which
//   xdg-desktop-portal-wlr cannot cast.
// Either backend takes the user's answer in the dialog from a file (see choose()).
class PortalDesktop {
  public:
    enum class Backend { sway, standIn };

    // Starts everything and waits until the portal is on the bus. Throws std::runtime_error
    // saying which component did not come up.
    PortalDesktop(Backend backend, std::uint32_t background);
    ~PortalDesktop();

    // The answer of the dialog: an output name selects it; empty declines, as a user's cancel
    // does. The stand-in also takes the words "rgb", "still" and "damage" after the name.
    void choose(const std::string& answer);

    const std::string& busAddress() const { return bus_->address(); }
    static constexpr const char* kOutputName = "HEADLESS-1";
    static constexpr std::uint32_t kWidth = 640;
    static constexpr std::uint32_t kHeight = 480;

    // Whether a portal session object still exists at `path`.
    bool sessionExists(const std::string& path) const;
    // Stand-in only: the sessions its backend holds, and the end of all of them as when the
    // user stops sharing from the desktop's own indicator.
    unsigned backendSessions() const;
    void revoke() const;

  private:
    std::vector<std::string> environment() const;
    void startSway(std::uint32_t background);
    void startStandIn(std::uint32_t background);

    std::unique_ptr<TempDir> root_;
    std::string runtime_;
    std::string choiceFile_;
    std::string waylandDisplay_;
    std::string portalDir_;
    std::string desktopName_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ChildProcess> pipewire_;
    std::unique_ptr<ChildProcess> wireplumber_;
    std::unique_ptr<ChildProcess> sway_;
    std::unique_ptr<ChildProcess> portalBackend_;
    std::unique_ptr<ChildProcess> portal_;
};

// Whether every program a desktop of `backend` needs is installed; if not, `missing` names
// them.
bool portalDesktopInstalled(PortalDesktop::Backend backend, std::string& missing);

// Whether xdg-desktop-portal-wlr can cast here: the version Debian 12 ships (0.7) refuses to
// start a cast unless the compositor offers DMA-BUF buffers, which needs a GPU render node.
bool wlrPortalCanCast(std::string& why);

}  // namespace skylark::testing
