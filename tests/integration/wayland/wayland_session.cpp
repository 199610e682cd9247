#include "wayland_session.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace skylark::testing {
namespace {

using namespace std::chrono_literals;

// The user sway runs as: it refuses to start as root.
constexpr unsigned kSwayUser = 65534;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void makePrivateDir(const std::string& path, unsigned owner) {
    std::filesystem::create_directories(path);
    chmod(path.c_str(), 0700);
    if (chown(path.c_str(), owner, owner) != 0) {
        throw std::runtime_error("cannot hand " + path + " to user " + std::to_string(owner));
    }
}

std::string colour(std::uint32_t rgb) {
    char text[8];
    std::snprintf(text, sizeof(text), "#%06X", rgb & 0xffffffu);
    return text;
}

// A connection of the test's own to `address`, named after it.
QDBusConnection busConnection(const std::string& address) {
    const QString a = QString::fromStdString(address);
    return QDBusConnection::connectToBus(a, QStringLiteral("test ") + a);
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

constexpr const char* kPortalFrontend = "/usr/libexec/xdg-desktop-portal";
constexpr const char* kPortalWlr = "/usr/libexec/xdg-desktop-portal-wlr";

}  // namespace

bool portalDesktopInstalled(PortalDesktop::Backend backend, std::string& missing) {
    missing.clear();
    std::vector<std::string> programs = {"dbus-daemon", "pipewire", "wireplumber", "pw-cli"};
    if (backend == PortalDesktop::Backend::sway) {
        programs.insert(programs.end(), {"sway", "setpriv"});
    }
    for (const std::string& program : programs) {
        if (!onPath(program)) {
            missing += (missing.empty() ? "" : ", ") + program;
        }
    }
    std::vector<std::string> files = {kPortalFrontend};
    if (backend == PortalDesktop::Backend::sway) {
        files.push_back(kPortalWlr);
    }
    for (const std::string& file : files) {
        if (access(file.c_str(), X_OK) != 0) {
            missing += (missing.empty() ? "" : ", ") + file;
        }
    }
    return missing.empty();
}

bool wlrPortalCanCast(std::string& why) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        if (entry.path().filename().string().rfind("renderD", 0) == 0) {
            return true;
        }
    }
    why =
        "xdg-desktop-portal-wlr 0.7 starts a cast only when the compositor offers DMA-BUF "
        "buffers, which needs a GPU render node, and this machine has none (/dev/dri/renderD*)";
    return false;
}

PrivateBus::PrivateBus(const std::string& runtimeDir) {
    const std::string socket = runtimeDir + "/bus";
    const std::string config = runtimeDir + "/bus.conf";
    // No service folders: nothing is started behind the test's back.
    writeFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:path=" +
                  socket +
                  "</listen>\n"
                  "  <auth>EXTERNAL</auth>\n"
                  "  <policy context=\"default\">\n"
                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                  "    <allow eavesdrop=\"true\"/>\n"
                  "    <allow own=\"*\"/>\n"
                  "  </policy>\n"
                  "</busconfig>\n");
    address_ = "unix:path=" + socket;
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config, "--nofork"},
        ChildProcess::Options{});
    if (!pollUntil([&] { return !process_->running() || std::filesystem::exists(socket); }, 10s) ||
        !process_->running()) {
        throw std::runtime_error("dbus-daemon did not start");
    }
}

PrivateBus::~PrivateBus() {
    if (process_) {
        process_->stop(SIGTERM);
    }
}

bool PrivateBus::hasOwner(const std::string& name) const {
    QDBusConnection bus = busConnection(address_);
    return bus.isConnected() && bus.interface()->isServiceRegistered(QString::fromStdString(name));
}

PortalDesktop::PortalDesktop(Backend backend, std::uint32_t background)
    : root_(std::make_unique<TempDir>("skylark-wayland-")) {
    // Sway's user must reach its own folder and configuration inside.
    chmod(root_->path().c_str(), 0755);
    runtime_ = root_->path() + "/run";
    const std::string home = root_->path() + "/home";
    makePrivateDir(runtime_, getuid());
    makePrivateDir(home + "/.config", getuid());
    choiceFile_ = root_->path() + "/choice";
    choose(kOutputName);

    bus_ = std::make_unique<PrivateBus>(runtime_);
    const std::vector<std::string> env = environment();
    pipewire_ = std::make_unique<ChildProcess>(std::vector<std::string>{"pipewire"},
                                               ChildProcess::Options{env});
    if (!pollUntil([&] { return std::filesystem::exists(runtime_ + "/pipewire-0"); }, 10s)) {
        throw std::runtime_error("pipewire did not start");
    }
    wireplumber_ = std::make_unique<ChildProcess>(std::vector<std::string>{"wireplumber"},
                                                  ChildProcess::Options{env});
    // The session manager links streams to nodes; it is ready once its export client is there.
    const bool managing = pollUntil(
        [&] {
            ChildProcess list({"pw-cli", "ls", "Client"}, ChildProcess::Options{env});
            for (std::string line = list.readLine(2s); !line.empty(); line = list.readLine(2s)) {
                if (line.find("WirePlumber [export]") != std::string::npos) {
                    return true;
                }
            }
            return !wireplumber_->running();
        },
        15s);
    if (!managing || !wireplumber_->running()) {
        throw std::runtime_error("wireplumber did not start");
    }

    if (backend == Backend::sway) {
        startSway(background);
    } else {
        startStandIn(background);
    }

    portal_ = std::make_unique<ChildProcess>(std::vector<std::string>{kPortalFrontend},
                                             ChildProcess::Options{environment()});
    if (!pollUntil(
            [&] { return !portal_->running() || bus_->hasOwner("org.freedesktop.portal.Desktop"); },
            15s) ||
        !portal_->running()) {
        throw std::runtime_error("xdg-desktop-portal did not start");
    }
}

void PortalDesktop::startSway(std::uint32_t background) {
    desktopName_ = "sway";
    const std::string swayRuntime = root_->path() + "/sway-run";
    makePrivateDir(swayRuntime, kSwayUser);
    const std::string swayConfig = root_->path() + "/sway.conf";
    writeFile(swayConfig, "output * bg " + colour(background) + " solid_color\n" + "output " +
                              kOutputName + " resolution " + std::to_string(kWidth) + "x" +
                              std::to_string(kHeight) + "\n");
    chmod(swayConfig.c_str(), 0644);
    sway_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"setpriv", "--reuid=" + std::to_string(kSwayUser),
                                 "--regid=" + std::to_string(kSwayUser), "--clear-groups", "sway",
                                 "-c", swayConfig},
        ChildProcess::Options{{"XDG_RUNTIME_DIR=" + swayRuntime, "HOME=" + swayRuntime,
                               "WLR_BACKENDS=headless", "WLR_RENDERER=pixman",
                               "WLR_LIBINPUT_NO_DEVICES=1", "WAYLAND_DISPLAY=", "DISPLAY="}});
    const bool up = pollUntil(
        [&] {
            for (const auto& entry : std::filesystem::directory_iterator(swayRuntime)) {
                const std::string name = entry.path().filename();
                if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) {
                    waylandDisplay_ = entry.path();
                    return true;
                }
            }
            return !sway_->running();
        },
        15s);
    if (!up || !sway_->running()) {
        throw std::runtime_error("sway did not start on its headless backend");
    }
    // The output chooser reads the answer; nothing is shown.
    const std::string config = root_->path() + "/xdpw.conf";
    writeFile(config, "[screencast]\nchooser_type=simple\nchooser_cmd=cat " + choiceFile_ +
                          "\nmax_fps=30\n");
    portalBackend_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kPortalWlr, "-c", config}, ChildProcess::Options{environment()});
    if (!pollUntil(
            [&] {
                return !portalBackend_->running() ||
                       bus_->hasOwner("org.freedesktop.impl.portal.desktop.wlr");
            },
            15s) ||
        !portalBackend_->running()) {
        throw std::runtime_error("xdg-desktop-portal-wlr did not start");
    }
}

void PortalDesktop::startStandIn(std::uint32_t background) {
    desktopName_ = "skylarktest";
    portalDir_ = root_->path() + "/portals";
    std::filesystem::create_directories(portalDir_);
    writeFile(portalDir_ + "/skylarktest.portal",
              "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.skylarktest\n"
              "Interfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=skylarktest;\n");
    char rgb[8];
    std::snprintf(rgb, sizeof(rgb), "%06X", background & 0xffffffu);
    portalBackend_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{SKYLARK_TEST_SCREENCAST_BACKEND, choiceFile_, rgb},
        ChildProcess::Options{environment()});
    if (!pollUntil(
            [&] {
                return !portalBackend_->running() ||
                       bus_->hasOwner("org.freedesktop.impl.portal.desktop.skylarktest");
            },
            15s) ||
        !portalBackend_->running()) {
        throw std::runtime_error("the stand-in screen-cast backend did not start");
    }
}

PortalDesktop::~PortalDesktop() {
    // In reverse order of start, each by its PID.
    for (auto* process : {&portal_, &portalBackend_, &sway_, &wireplumber_, &pipewire_}) {
        if (*process) {
            (*process)->stop(SIGTERM);
        }
    }
    bus_.reset();
}

std::vector<std::string> PortalDesktop::environment() const {
    const std::string home = root_->path() + "/home";
    std::vector<std::string> env = {
        "XDG_RUNTIME_DIR=" + runtime_,          "HOME=" + home,
        "XDG_CONFIG_HOME=" + home + "/.config", "XDG_STATE_HOME=" + home + "/.local/state",
        "XDG_CURRENT_DESKTOP=" + desktopName_,  "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(),
        "WAYLAND_DISPLAY=" + waylandDisplay_,   "DISPLAY="};
    if (!portalDir_.empty()) {
        env.push_back("XDG_DESKTOP_PORTAL_DIR=" + portalDir_);
    }
    return env;
}

void PortalDesktop::choose(const std::string& answer) {
    writeFile(choiceFile_, answer.empty() ? "" : answer + "\n");
}

bool PortalDesktop::sessionExists(const std::string& path) const {
    QDBusMessage introspect = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QString::fromStdString(path),
        QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    const QDBusMessage reply = busConnection(bus_->address()).call(introspect);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().toString().contains(
               QStringLiteral("org.freedesktop.portal.Session"));
}

namespace {

QDBusMessage callStandIn(const std::string& bus, const char* method) {
    return busConnection(bus).call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.desktop.skylarktest"),
        QStringLiteral("/org/skylark/test"), QStringLiteral("org.skylark.test.ScreenCastBackend"),
        QLatin1String(method)));
}

}  // namespace

unsigned PortalDesktop::backendSessions() const {
    const QDBusMessage reply = callStandIn(bus_->address(), "OpenSessions");
    return reply.arguments().isEmpty() ? 0 : reply.arguments().first().toUInt();
}

void PortalDesktop::revoke() const {
    callStandIn(bus_->address(), "Revoke");
}

}  // namespace skylark::testing
