#include "support/gnome_desktop.hpp"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <filesystem>
#include <fstream>

namespace skylark::testing {
namespace {

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

}  // namespace

std::string GnomeDesktop::missing() {
    const bool here =
        std::filesystem::exists("/usr/bin/mutter") && std::filesystem::exists(kBackend);
    return here ? "" : "GNOME is not installed here (scripts/setup desktops)";
}

GnomeDesktop::GnomeDesktop(int width, int height, int scale)
    : width_(width), height_(height), scale_(scale), bus_(QString()) {
    session_.startPipeWire();
    // Scaled as GNOME's settings do: in logical coordinates, each screen at its own scale.
    const std::string config = session_.runtime() + "/.config";
    std::filesystem::create_directories(config + "/glib-2.0/settings");
    std::ofstream(config + "/glib-2.0/settings/keyfile")
        << "[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n";
    std::ofstream(config + "/monitors.xml")
        << "<monitors version=\"2\"><configuration><logicalmonitor><x>0</x><y>0</y><scale>" << scale
        << "</scale><primary>yes</primary><monitor><monitorspec><connector>Meta-0"
        << "</connector><vendor>MetaVendor</vendor><product>MetaVirtualMonitor</product><serial>"
        << "0x00</serial></monitorspec><mode><width>" << width << "</width><height>" << height
        << "</height><rate>60.000</rate></mode></monitor></logicalmonitor></configuration>"
        << "</monitors>";
    session_.start({"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                    std::to_string(width) + "x" + std::to_string(height)},
                   [&] { return session_.owns("org.gnome.Mutter.RemoteDesktop"); },
                   {"GSETTINGS_BACKEND=keyfile"});
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
    // The dialog opens in the middle of the monitor, its one monitor row under the heading.
    click((width_ / scale_ / 2 + 210) * scale_, (height_ / scale_ / 2 + 26) * scale_);
    keys({kAltKey, 's'});
}

}  // namespace skylark::testing
