#include "support/gnome_desktop.hpp"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QFile>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace skylark::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kBackend = "/usr/libexec/xdg-desktop-portal-gnome";
const QString kRemote = "org.gnome.Mutter.RemoteDesktop", kCast = "org.gnome.Mutter.ScreenCast";

// A call to one of mutter's services, without the introspection (and the lasting meta-objects)
// of an interface object.
QDBusMessage call(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message);
}
QString pathFrom(const QDBusMessage& reply) {
    return QDBusReply<QDBusObjectPath>(reply).value().path();
}

// The AppIndicator extension's folder name, its id: Debian's is named after Ubuntu's copy.
std::string appIndicatorExtension() {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/usr/share/gnome-shell/extensions", error)) {
        if (const std::string name = entry.path().filename();
            name.find("appindicator") != name.npos) {
            return name;
        }
    }
    return "";
}

}  // namespace

void startQtApplication() {
    static int argc = 1;
    static char name[] = "skylark-tests", *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

std::string GnomeDesktop::missing(Compositor compositor) {
    const bool here =
        std::filesystem::exists("/usr/bin/mutter") && std::filesystem::exists(kBackend) &&
        (compositor == mutter ||
         (std::filesystem::exists("/usr/bin/gnome-shell") && !appIndicatorExtension().empty()));
    return here ? "" : "GNOME is not installed here (scripts/setup desktops)";
}

GnomeDesktop::GnomeDesktop(int width, int height, int scale, Compositor compositor)
    : width_(width),
      height_(height),
      scale_(scale),
      topBar_(compositor == shell ? 32 : 0),
      bus_(QString()) {
    startQtApplication();
    session_.startPipeWire();
    // Scaled as GNOME's settings do: in logical coordinates, each screen at its own scale.
    const std::string config = session_.runtime() + "/.config";
    std::filesystem::create_directories(config + "/glib-2.0/settings");
    std::ofstream settings(config + "/glib-2.0/settings/keyfile");
    settings << "[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n";
    if (compositor == shell) {
        // No banners (the one about running as root would hang over the top of the screen),
        // and no animations, so that a click lands where the window is going to be.
        settings << "[org/gnome/shell]\nenabled-extensions=['" << appIndicatorExtension()
                 << "']\n[org/gnome/desktop/notifications]\nshow-banners=false\n"
                 << "[org/gnome/desktop/interface]\nenable-animations=false\n";
    }
    settings.close();
    std::ofstream(config + "/monitors.xml")
        << "<monitors version=\"2\"><configuration><logicalmonitor><x>0</x><y>0</y><scale>" << scale
        << "</scale><primary>yes</primary><monitor><monitorspec><connector>Meta-0"
        << "</connector><vendor>MetaVendor</vendor><product>MetaVirtualMonitor</product><serial>"
        << "0x00</serial></monitorspec><mode><width>" << width << "</width><height>" << height
        << "</height><rate>60.000</rate></mode></monitor></logicalmonitor></configuration>"
        << "</monitors>";
    // It asks logind and other system services on the private bus, where none answers, rather
    // than on the machine's. The shell's scripts take their time.
    session_.start(
        {compositor == shell ? "gnome-shell" : "mutter", "--headless", "--wayland", "--no-x11",
         "--virtual-monitor", std::to_string(width) + "x" + std::to_string(height)},
        [&] { return session_.owns("org.gnome.Mutter.RemoteDesktop"); },
        {"GSETTINGS_BACKEND=keyfile", "DBUS_SYSTEM_BUS_ADDRESS=" + session_.busAddress()}, 60s);
    // GNOME 48's portal backend offers no screen unless it knows it runs on Wayland.
    const std::vector<std::string> gnome = {clientEnv()[0], "XDG_SESSION_TYPE=wayland",
                                            "XDG_CURRENT_DESKTOP=GNOME", "GTK_A11Y=none"};
    startPortal(kBackend, "org.freedesktop.impl.portal.desktop.gnome", gnome);

    const QString address = QString::fromStdString(session_.busAddress());
    bus_ = QDBusConnection::connectToBus(address, address);  // a name of its own for each desktop
    remoteSession_ = pathFrom(
        call(bus_, kRemote, "/org/gnome/Mutter/RemoteDesktop", kRemote, "CreateSession", {}));
    const QVariant id =
        QDBusReply<QVariant>(call(bus_, kRemote, remoteSession_, "org.freedesktop.DBus.Properties",
                                  "Get", {kRemote + ".Session", "SessionId"}))
            .value();
    // Pointer positions are given in a screen-cast stream of the same session.
    const QString cast =
        pathFrom(call(bus_, kCast, "/org/gnome/Mutter/ScreenCast", kCast, "CreateSession",
                      {QVariantMap{{"remote-desktop-session-id", id}}}));
    stream_ = pathFrom(
        call(bus_, kCast, cast, kCast + ".Session", "RecordMonitor", {QString(), QVariantMap()}));
    call(bus_, kRemote, remoteSession_, kRemote + ".Session", "Start", {});
    // The extension comes with the shell's session, which opens in the overview.
    auto out = [&] {
        keys({kEscapeKey});
        return session_.owns("org.kde.StatusNotifierWatcher") &&
               !QDBusReply<QVariant>(call(bus_, "org.gnome.Shell", "/org/gnome/Shell",
                                          "org.freedesktop.DBus.Properties", "Get",
                                          {"org.gnome.Shell", "OverviewActive"}))
                    .value()
                    .toBool();
    };
    if (compositor == shell && !pollUntil(out, 30s)) {
        throw std::runtime_error("gnome-shell did not leave its overview with the extension on");
    }
}

void GnomeDesktop::remote(const char* method, const QVariantList& arguments) {
    call(bus_, kRemote, remoteSession_, kRemote + ".Session", method, arguments);
}

void GnomeDesktop::keys(const std::vector<unsigned>& keysyms) {
    for (size_t i = 0, n = keysyms.size(); i < 2 * n; ++i) {
        remote("NotifyKeyboardKeysym", {keysyms[i < n ? i : 2 * n - 1 - i], i < n});
    }
}

void GnomeDesktop::click(double x, double y) {
    remote("NotifyPointerMotionAbsolute", {stream_, x, y});
    for (bool pressed : {true, false}) {
        remote("NotifyPointerButton", {0x110 /* the left button */, pressed});
    }
}

void GnomeDesktop::share() {
    const QRect rows = dialogRows();
    click(rows.center().x() + 210 * scale_, rows.top() + 16 * scale_);
    keys({kAltKey, 's'});
}

void GnomeDesktop::showWindows() {
    const QRect rows = dialogRows();
    click(rows.center().x() - 72 * scale_, rows.top() - 138 * scale_);
}

// The dialog opens in the middle of the space under the top bar, its tabs at the top, the rows
// of its list under the heading.
QRect GnomeDesktop::dialogRows() const {
    const int x = width_ / scale_ / 2, y = (topBar_ + height_ / scale_) / 2;
    return {(x - 210) * scale_, (y + 10) * scale_, 420 * scale_, 32 * scale_};
}

QImage GnomeDesktop::screenshot() {
    // The shell takes screenshots for its own tools' bus names only.
    bus_.registerService("org.gnome.Screenshot");
    const QString file = QString::fromStdString(session_.runtime() + "/screenshot.png");
    QFile::remove(file);
    call(bus_, "org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
         "org.gnome.Shell.Screenshot", "Screenshot", {false, false, file});
    return QImage(file);
}

QPoint changedAt(const QImage& before, const QImage& after, const QRect& area) {
    QRect changed;
    const QRect inside = area & before.rect();
    for (int y = inside.top(); before.size() == after.size() && y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y)) {
                changed |= QRect(x, y, 1, 1);
            }
        }
    }
    return changed.isNull() ? QPoint() : changed.center();
}

}  // namespace skylark::testing
