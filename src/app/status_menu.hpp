#pragma once

#include <functional>
#include <memory>

#include <QString>

class QAction;
class QMenu;

namespace skylark {

// Tags by which two lines of the status menu are found again.
inline constexpr int kAddressItemTag = 100;
inline constexpr int kStatusItemTag = 101;

// What the menu's items do. Each is called on the main thread when its item is chosen (or its
// shortcut typed while the menu is open); menuWillOpen right before the menu is shown.
struct StatusMenuCommands {
    std::function<void()> shareScreen;
    std::function<void()> openSender;
    std::function<void()> copyAddress;
    std::function<void()> stopCasting;
    std::function<void()> allowedDevices;  // optional: "Allowed TVs…" only when set
    std::function<void()> quit;
    std::function<void(QMenu&)> menuWillOpen;
};

// The status menu, in this order: "Skylark", the address line (tag 100), the status line
// "Ready" (tag 101), a separator, "Share Screen or App + Audio…" (Ctrl+S), "Low Latency
// Sharing…" (Ctrl+O), "Copy Fire TV Address" (Ctrl+C), "Stop Casting" (Ctrl+.), a separator,
// "Quit Skylark" (Ctrl+Q); with an allowedDevices command, "Allowed TVs…" (Ctrl+T) before the
// second separator. The first three lines are disabled and carry no shortcut.
std::unique_ptr<QMenu> buildStatusMenu(const QString& addressLine, StatusMenuCommands commands);

// The menu's item carrying `tag`, or null.
QAction* itemWithTag(const QMenu& menu, int tag);

}  // namespace skylark
