#pragma once

#include <memory>

#include <QObject>

#include "app/shell_services.hpp"
#include "hls/live_hls_store.hpp"

class QAction;
class QMenu;
class QMessageBox;
class QSystemTrayIcon;

namespace skylark {

class AccessPrompts;
class AllowedDevicesWindow;
class NoTrayWindow;
class QtMainDispatcher;
class StatusItem;

// The tray application itself: creates and owns the long-lived objects (the one segment store,
// the server, the tray icon with its menu, and the caster) and carries out the menu's
// commands. Lives on the main thread for the whole run of the event loop; every call below is
// made there.
class AppDelegate : public QObject {
  public:
    // Creates the store (empty and inactive) and nothing else.
    explicit AppDelegate(ShellPlatform platform);
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Called once at start-up, before the event loop delivers any input. Starts the server;
    // if it cannot start, shows the alert "Skylark could not start" with the reason, waits for
    // the person to dismiss it and returns false (nothing else is created: no tray icon, no
    // menu, no caster). Otherwise prints the TV's address, builds the menu and the tray
    // icon (and the no-tray window when the desktop has no tray host), creates the caster,
    // connects its state reports to the status line and returns true.
    bool applicationDidFinishLaunching();

    // ---- The menu's commands ----
    // Starts a native cast (the caster presents its picker, or says why not).
    void shareScreen();
    // Opens the low-latency sender page of this computer in the default browser.
    void openSender();
    // Puts exactly "http://<address>:<port>" on the clipboard, as plain text.
    void copyAddress();
    // Stops the native cast, then raises the stop counter of the low-latency pages; both every
    // time, whether or not anything is being shared.
    void stopCasting();
    // Right before the menu is shown: the address line follows the current network address.
    void menuWillOpen(QMenu& menu);
    // Shows the window of allowed TVs (when the server asks before a device may watch).
    void showAllowedDevices();

    // ---- What the launch created (null before, or after a failed start) ----
    ShellServer* server() const { return server_.get(); }
    const std::shared_ptr<LiveHLSStore>& liveStore() const { return liveStore_; }
    QMenu* statusMenu() const { return menu_.get(); }
    QAction* statusMenuItem() const { return statusMenuItem_; }
    QSystemTrayIcon* statusItem() const;
    bool statusItemShowsTitle() const;
    NoTrayWindow* noTrayWindow() const { return noTrayWindow_.get(); }
    AccessPrompts* accessPrompts() const { return accessPrompts_.get(); }
    AllowedDevicesWindow* allowedDevicesWindow() const { return allowedDevicesWindow_.get(); }
    // The notice shown when no browser could be opened, once it has been needed.
    QMessageBox* browserAlert() const { return browserAlert_.get(); }

  private:
    void buildMenuAndStatusItem();
    void createCaster();
    std::string currentTVAddress() const;
    // The status line takes every report's text; reports from other threads are carried to
    // the main thread first.
    void installStateHandler();
    // Questions for devices that ask, and the allowed list, follow every change of access.
    void watchAccess();

    ShellPlatform platform_;
    std::shared_ptr<QtMainDispatcher> main_;
    std::shared_ptr<LiveHLSStore> liveStore_;
    std::unique_ptr<ShellServer> server_;
    std::unique_ptr<ShellCaster> caster_;
    std::unique_ptr<QMenu> menu_;
    QAction* statusMenuItem_ = nullptr;  // owned by menu_
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<NoTrayWindow> noTrayWindow_;
    std::unique_ptr<QMessageBox> browserAlert_;
    std::unique_ptr<AccessPrompts> accessPrompts_;
    std::unique_ptr<AllowedDevicesWindow> allowedDevicesWindow_;
};

}  // namespace skylark
