#pragma once

#include <QDBusConnection>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace skylark::testing {

// GNOME's compositor, headless, with one virtual monitor drawn in software, PipeWire, the
// portal and its GNOME backend on a private session; keys and clicks reach it through mutter's
// remote-desktop interface, as a person's own would. Needs a QCoreApplication.
class GnomeDesktop : public PortalDesktop {
  public:
    static std::string missing();  // why GNOME cannot run here, or ""
    // A monitor of `width` x `height` pixels that GNOME scales by `scale`; throws when a program
    // does not start.
    GnomeDesktop(int width, int height, int scale = 1);
    ~GnomeDesktop() override { QDBusConnection::disconnectFromBus(bus_.name()); }
    void keys(const std::vector<unsigned>& keysyms) override;
    void click(double x, double y) override;
    void share() override;

  private:
    void remote(const char* method, const QVariantList& arguments);
    int width_, height_, scale_;
    QDBusConnection bus_;
    QString remoteSession_, stream_;
};

}  // namespace skylark::testing
