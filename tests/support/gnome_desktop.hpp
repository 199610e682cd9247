#pragma once

#include <QDBusConnection>
#include <csignal>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace skylark::testing {

// GNOME's compositor, headless, with one virtual monitor drawn in software, PipeWire, the
// portal and its GNOME backend on a private session; keys and clicks reach it through mutter's
// remote-desktop interface, as a person's own would. Needs a QCoreApplication.
class GnomeDesktop {
  public:
    static std::string missing();  // why GNOME cannot run here, or ""
    // A monitor of `width` x `height` pixels that GNOME scales by `scale`; throws when a program
    // does not start.
    GnomeDesktop(int width, int height, int scale = 1);
    ~GnomeDesktop() { QDBusConnection::disconnectFromBus(bus_.name()); }
    DesktopSession& session() { return session_; }
    std::vector<std::string> clientEnv() const;  // what a Wayland client of it needs
    // Presses the keys in order and lets them go in reverse, as a shortcut is typed.
    void keys(const std::vector<unsigned>& keysyms);
    void click(double x, double y);  // in the monitor's pixels
    void share();  // the monitor's row of the portal's dialog (open or about to be), then Share
    void endPortalBackend() { backend_->stop(SIGTERM); }  // mutter ends the shares it started
    int castStreams() const;  // how many video streams mutter offers on PipeWire

  private:
    void remote(const char* method, const QVariantList& arguments);
    DesktopSession session_;
    int width_, height_, scale_;
    ChildProcess* backend_ = nullptr;
    QDBusConnection bus_;
    QString remoteSession_, stream_;
};

constexpr unsigned kControlKey = 0xffe3, kAltKey = 0xffe9, kEscapeKey = 0xff1b;

}  // namespace skylark::testing
