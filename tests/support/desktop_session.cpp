#include "support/desktop_session.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace skylark::testing {

using namespace std::chrono_literals;

DesktopSession::DesktopSession() : address_("unix:path=" + root_.path() + "/bus") {
    chmod(runtime().c_str(), 0700);
    std::ofstream(runtime() + "/bus.conf")
        << "<busconfig><type>session</type><listen>" << address_
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow "
           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
           "own=\"*\"/></policy></busconfig>";
    env_ = {"XDG_RUNTIME_DIR=" + runtime(), "HOME=" + runtime(),
            "DBUS_SESSION_BUS_ADDRESS=" + address_};
    start({"dbus-daemon", "--config-file=" + runtime() + "/bus.conf", "--nofork"},
          [&] { return std::filesystem::exists(runtime() + "/bus"); });
}

DesktopSession::~DesktopSession() {
    while (!processes_.empty()) {
        processes_.pop_back();
    }
}

ChildProcess& DesktopSession::start(const std::vector<std::string>& argv,
                                    const std::function<bool()>& ready,
                                    const std::vector<std::string>& extraEnv,
                                    std::chrono::seconds timeout) {
    std::vector<std::string> env = extraEnv;
    env.insert(env.end(), env_.begin(), env_.end());
    processes_.push_back(std::make_unique<ChildProcess>(argv, ChildProcess::Options{env}));
    ChildProcess& started = *processes_.back();
    if (!pollUntil([&] { return !started.running() || ready(); }, timeout) || !started.running()) {
        throw std::runtime_error(argv[0] + " did not start");
    }
    return started;
}

bool DesktopSession::owns(const std::string& busName) const {
    return !call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.GetNameOwner", {"string:" + busName})
                .empty();
}

void DesktopSession::startPipeWire() {
    // No Bluetooth monitor: it needs logind, and WirePlumber 0.4 ends at once without it (0.4
    // reads the script, 0.5 the profile). gnome-shell's dependencies bring the plugin in.
    const std::string config = runtime() + "/.config/wireplumber";
    std::filesystem::create_directories(config + "/bluetooth.lua.d");
    std::filesystem::create_directories(config + "/wireplumber.conf.d");
    std::ofstream(config + "/bluetooth.lua.d/90-enable-all.lua") << "-- none\n";
    std::ofstream(config + "/wireplumber.conf.d/no-bluetooth.conf")
        << "wireplumber.profiles = { main = { monitor.bluez = disabled } }\n";
    start({"pipewire"}, [&] { return std::filesystem::exists(runtime() + "/pipewire-0"); });
    // The session manager links streams to nodes; it is ready once its client is there.
    start({"wireplumber"}, [&] {
        return runToEnd({"sh", "-c", "pw-cli ls Client | grep -q 'WirePlumber \\[export'"}, env_) ==
               0;
    });
}

std::string DesktopSession::call(const std::string& destination, const std::string& path,
                                 const std::string& method,
                                 const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {
        "dbus-send", "--bus=" + address_, "--print-reply", "--dest=" + destination, path, method};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess child(argv, {});
    std::string reply;
    for (std::string line; !(line = child.readLine(30s)).empty();) {
        reply += line + "\n";
    }
    return child.waitExit(1s) == 0 ? reply : "";
}

std::vector<std::string> PortalDesktop::clientEnv() const {
    return {"WAYLAND_DISPLAY=" + session_.runtime() + "/wayland-0", "XDG_SESSION_TYPE=wayland",
            "DBUS_SESSION_BUS_ADDRESS=" + session_.busAddress(), "DISPLAY="};
}

void PortalDesktop::startPortal(const std::string& path, const std::string& busName,
                                const std::vector<std::string>& env) {
    backend_ = &session_.start(
        {path}, [&] { return session_.owns(busName); }, env);
    session_.start(
        {"/usr/libexec/xdg-desktop-portal"},
        [&] { return session_.owns("org.freedesktop.portal.Desktop"); }, env);
}

int PortalDesktop::castStreams() const {
    ChildProcess count({"sh", "-c", "pw-cli ls Node | grep -c Stream/Output/Video"},
                       {session_.env()});
    return std::stoi("0" + count.readLine(std::chrono::seconds(10)));
}

}  // namespace skylark::testing
