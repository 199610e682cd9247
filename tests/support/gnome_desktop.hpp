#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace skylark::testing {

// GNOME's compositor, headless, with one virtual monitor drawn in software, PipeWire, the
// portal and its GNOME backend on a private session; keys and clicks reach it through mutter's
// remote-desktop interface, as a person's own would. Either mutter alone, or gnome-shell as it
// ships, with its top bar, window list and the AppIndicator extension hosting status icons.
// Needs a QCoreApplication.
class GnomeDesktop : public PortalDesktop {
  public:
    enum Compositor { mutter, shell };
    static std::string missing(Compositor compositor = mutter);  // why it cannot run here, or ""
    // A monitor of `width` x `height` pixels that GNOME scales by `scale`; throws when a program
    // does not start. The shell comes out of its overview, as a person leaves it after logging in.
    GnomeDesktop(int width, int height, int scale = 1, Compositor compositor = mutter);
    ~GnomeDesktop() override { QDBusConnection::disconnectFromBus(bus_.name()); }
    void keys(const std::vector<unsigned>& keysyms) override;
    void click(double x, double y) override;
    void share() override;
    void showWindows();        // the dialog's Single Window tab
    QRect dialogRows() const;  // where the dialog lists monitors or windows, in pixels
    QImage screenshot();       // of the shell's monitor

  private:
    void remote(const char* method, const QVariantList& arguments);
    int width_, height_, scale_, topBar_;
    QDBusConnection bus_;
    QString remoteSession_, stream_;
};

constexpr unsigned kDownKey = 0xff54, kTabKey = 0xff09;

// The centre of the pixels in `area` that differ between two pictures, or a null point.
// Qt's D-Bus wants the application before anything connects to a bus.
void startQtApplication();

QPoint changedAt(const QImage& before, const QImage& after, const QRect& area);

}  // namespace skylark::testing
