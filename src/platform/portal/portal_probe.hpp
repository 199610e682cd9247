#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <variant>

namespace skylark::portal {

// What the desktop portal's ScreenCast interface offers.
struct ScreenCastInfo {
    uint version = 0;
    uint sourceTypes = 0;  // kSourceMonitor | kSourceWindow | ...
    uint cursorModes = 0;  // kCursorHidden | kCursorEmbedded | ...
};

// Either the interface's properties or why screen casting cannot be reached, as the end of the
// sentence "Screen sharing is not available on this desktop: …".
using ProbeResult = std::variant<ScreenCastInfo, QString>;

// The bus the portal is reached on: the session bus for an empty address, otherwise one
// shared connection per address (tests run a private bus). On the Qt main thread.
QDBusConnection connectToPortalBus(const std::string& busAddress);

// Asks the portal on `connection` for its ScreenCast properties (starting the portal if the
// bus can activate it) and calls `done` once from `context`'s event loop, never inside this
// call. Nothing is called when `context` is deleted first.
void probeScreenCast(const QDBusConnection& connection, QObject* context,
                     std::function<void(const ProbeResult&)> done);

}  // namespace skylark::portal
