#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QString>

#include "common/main_dispatcher.hpp"
#include "hls/live_hls_store.hpp"
#include "http/device_access.hpp"

namespace skylark {

// The HTTP service as the shell uses it: started once at launch, then asked for the TV's
// address and told to signal a stop. The application wraps HTTPServer; tests pass fakes.
// Every call comes from the main thread.
class ShellServer {
  public:
    virtual ~ShellServer() = default;
    // Starts listening. Throws (std::system_error from the listener, e.g. "bind: Address already
    // in use") when the service cannot start; it is then dropped.
    virtual void start() = 0;
    // The listening port (before start(): the configured one).
    virtual std::uint16_t port() const = 0;
    // The IPv4 address a TV on the local network should open, found afresh on every call.
    virtual std::string localAddress() const = 0;
    // Raises the stop counter that low-latency pages read at /api/command.
    virtual void requestStop() = 0;
    // Which devices may watch, when this server asks the person (null: it does not).
    virtual std::shared_ptr<DeviceAccess> access() const { return nullptr; }
};

// The native caster as the shell uses it. The application wraps NativeCaster; tests pass
// fakes. start(), stop() and setStateChanged() come from the main thread, and the handler is
// called on the main thread only (NativeCaster's contract: inside start() and stop(), or posted
// through the MainDispatcher).
class ShellCaster {
  public:
    using StateHandler = std::function<void(bool casting, const std::string& text)>;

    virtual ~ShellCaster() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setStateChanged(StateHandler handler) = 0;
};

// What the shell is given to build itself with: the real desktop's parts, or fakes.
struct ShellPlatform {
    // Creates the unstarted server over the one store. Required.
    std::function<std::unique_ptr<ShellServer>(std::shared_ptr<LiveHLSStore>)> makeServer;
    // Creates the caster over the same store, reporting through `main`. Called only after the
    // server has started. Required.
    std::function<std::unique_ptr<ShellCaster>(std::shared_ptr<LiveHLSStore>,
                                               std::shared_ptr<MainDispatcher> main)>
        makeCaster;
    // Whether the desktop has a tray host now. Empty: QSystemTrayIcon::isSystemTrayAvailable.
    std::function<bool()> systemTrayAvailable;
    // The tray image "SkylarkMenu" (a Qt resource path). When it is missing or cannot be drawn,
    // the tray shows the title "◉" instead.
    QString menuImage = QStringLiteral(":/icons/SkylarkMenu.svg");
    // Runs on the main thread right before the process ends on Quit (which runs no other
    // clean-up); empty: nothing.
    std::function<void()> quitting;
};

}  // namespace skylark
