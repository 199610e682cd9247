// The real executable as a person meets it: on Xvfb with the trayer tray host and a D-Bus
// session, driven by real clicks and keys (xdotool) and read back through the X clipboard and
// its own HTTP service; and with no display at all. Each test program runs in a network
// namespace of its own (root only) where "eth0" is 192.168.1.7, so port 8765 is private to it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/child_process.hpp"
#include "support/desktop_services.hpp"
#include "support/desktop_session.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::pollUntil;
using testing::runToEnd;

std::string privateNetworkError() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return "no network namespace of its own: run the test as root";
    }
    const int status = runToEnd(
        {"sh", "-c",
         "ip link set lo up && ip link add eth0 type veth peer name eth1 &&"
         " ip addr add 192.168.1.7/24 dev eth0 && ip link set eth0 up && ip link set eth1 up"});
    return status == 0 ? "" : "could not set up the private network";
}

// What a bash command prints on standard output, up to its end (or an empty line).
std::string readAll(ChildProcess& child) {
    std::string all;
    for (std::string line; !(line = child.readLine(10s)).empty();) {
        all += line + "\n";
    }
    return all;
}
std::string outputOf(const std::string& command) {
    ChildProcess child({"bash", "-c", command}, {{}, true});
    return readAll(child);
}
std::string firstLineOf(const std::string& command) {
    const std::string all = outputOf(command);
    return all.substr(0, all.find('\n'));
}

// Polls a bash command until it prints `expected`.
bool eventually(const std::string& command, const std::string& expected,
                std::chrono::seconds timeout = 10s) {
    return pollUntil([&] { return outputOf(command) == expected; }, timeout);
}

// A command printing the body of GET `path` from port 8765 on loopback, and a newline.
std::string get(const std::string& path) {
    return "exec 3<>/dev/tcp/127.0.0.1/8765 && printf 'GET " + path +
           " HTTP/1.1\\r\\nHost: 127.0.0.1:8765\\r\\n\\r\\n' >&3 && sed '1,/^\\r$/d' <&3; echo";
}

// Counts Skylark's viewable windows: its icon, its menu, a dialog.
constexpr const char* kWindows = "xdotool search --onlyvisible --class '^Skylark$' | wc -l";

// A command that waits for Skylark's window titled `title`, presses Enter in it and says so.
std::string pressEnterIn(const std::string& title) {
    return "w=$(xdotool search --sync --onlyvisible --maxdepth 1 --name '^" + title +
           "$' | head -1) && xdotool windowfocus --sync $w && xdotool key Return && echo pressed";
}

std::unique_ptr<ChildProcess> launchSkylark(std::vector<std::string> env = {}) {
    auto skylark = std::make_unique<ChildProcess>(std::vector<std::string>{SKYLARK_EXECUTABLE},
                                                  ChildProcess::Options{std::move(env), true});
    EXPECT_EQ(skylark->readLine(30s), "Fire TV: http://192.168.1.7:8765");
    return skylark;
}

// A second Skylark must be refused, after its alert on a desktop: status 1 and why.
void expectSecondLaunchRefused(const std::vector<std::string>& env, bool alert) {
    ChildProcess second({"sh", "-c", "exec \"$0\" 2>&1", SKYLARK_EXECUTABLE}, {env, true});
    EXPECT_TRUE(!alert || outputOf(pressEnterIn("Skylark")) == "pressed\n") << "no alert";
    const std::string errors = readAll(second);
    EXPECT_EQ(second.waitExit(10s), 1);
    EXPECT_EQ(errors.rfind("Skylark could not start\nSkylark is already running", 0), 0u) << errors;
}

void openMenu(const std::string& icon, const char* button) {
    runToEnd({"sh", "-c", "xdotool mousemove " + icon + " click " + button});
    EXPECT_TRUE(eventually(kWindows, "2\n")) << "no menu on " << button;
}

TEST(OnADesktop, TheIconDocksItsMenuCastsStopsCopiesAndQuitsAndASecondLaunchIsRefused) {
    if (const std::string error = privateNetworkError(); !error.empty()) {
        GTEST_SKIP() << error;
    }
    testing::TempDir runtime("skylark-desktop-");
    testing::XvfbServer xvfb(800, 480);
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    setenv("PULSE_SERVER", "unix:/nonexistent", 1);  // a cast with silence
    for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"}) {
        unsetenv(name);
    }
    ChildProcess dbus({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {});
    setenv("DBUS_SESSION_BUS_ADDRESS", dbus.readLine(10s).c_str(), 1);
    // A 120x32 tray in the screen's bottom right corner.
    ChildProcess trayer({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                         "--width", "120", "--heighttype", "pixel", "--height", "32"},
                        {});
    runToEnd({"xdotool", "search", "--sync", "--onlyvisible", "--class", "^trayer$"});

    auto skylark = launchSkylark();
    std::string icon;  // the centre of Skylark's one window, docked in the tray's corner
    ASSERT_TRUE(pollUntil(
        [&] {
            return outputOf(kWindows) == "1\n" &&
                   !(icon = outputOf("eval $(xdotool search --onlyvisible --class '^Skylark$'"
                                     " getwindowgeometry --shell %@) && ((X >= 680 && Y >= 448))"
                                     " && echo $((X + WIDTH / 2)) $((Y + HEIGHT / 2))"))
                        .empty();
        },
        30s))
        << "no Skylark icon in the tray";
    icon.pop_back();
    openMenu(icon, "1");

    // Ctrl+S: the picker, where Enter shares the main display. Ctrl+.: the cast ends and the
    // low-latency pages' stop token goes up.
    runToEnd({"xdotool", "key", "ctrl+s"});
    EXPECT_EQ(outputOf(pressEnterIn("Share with the TV")), "pressed\n") << "no picker";
    EXPECT_TRUE(eventually(get("/api/live"), "{\"active\":true}\n", 60s));
    openMenu(icon, "3");  // a right click opens it too
    runToEnd({"xdotool", "key", "ctrl+period"});
    EXPECT_TRUE(eventually(get("/api/command"), "{\"stopToken\":1}\n"));
    EXPECT_TRUE(eventually(get("/api/live"), "{\"active\":false}\n"));

    expectSecondLaunchRefused({}, true);
    EXPECT_EQ(outputOf(kWindows), "1\n") << "the refused launch left a window or an icon";

    // Copy Fire TV Address, chosen with the keyboard as the fourth enabled item; then Quit.
    openMenu(icon, "1");
    runToEnd({"xdotool", "key", "Down", "Down", "Down", "Return"});
    EXPECT_TRUE(eventually("xclip -o -selection clipboard; echo", "http://192.168.1.7:8765\n"));
    openMenu(icon, "1");
    runToEnd({"xdotool", "key", "ctrl+q"});
    EXPECT_EQ(skylark->waitExit(10s), 0);
}

TEST(WithoutADesktop, ServesThePagesAloneRefusesASecondLaunchAndEndsOnSIGTERM) {
    if (const std::string error = privateNetworkError(); !error.empty()) {
        GTEST_SKIP() << error;
    }
    // No DISPLAY at all, and one that names no server: neither may abort.
    for (const char* display : {"DISPLAY=", "DISPLAY=:4999"}) {
        const std::vector<std::string> env = {display, "QT_QPA_PLATFORM="};
        auto skylark = launchSkylark(env);
        EXPECT_EQ(skylark->readLine(10s).rfind("Native sharing needs a desktop session.", 0), 0u);
        EXPECT_EQ(outputOf(get("/api/info")), "{\"address\":\"192.168.1.7\",\"port\":8765}\n");
        expectSecondLaunchRefused(env, false);
        const int end = skylark->stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end;
    }
}

// Sway, headless and drawn in software, as nobody (it refuses to run as root); with a bar its
// swaybar is the StatusNotifier watcher and host. Skylark joins it on Wayland alone.
std::vector<std::string> startSway(testing::DesktopSession& session, bool bar) {
    const std::string run = session.runtime(), config = run + "/sway.conf";
    std::ofstream(config) << "output HEADLESS-1 resolution 800x480\n"
                          << (bar ? "bar {\n status_command true\n tray_output *\n}\n" : "");
    chown(run.c_str(), 65534, 65534);
    const std::string socket = run + "/wayland-1";
    session.start({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--pdeathsig",
                   "TERM", "sway", "-c", config},
                  [&] {
                      return std::filesystem::exists(socket) &&
                             (!bar || session.owns("org.kde.StatusNotifierWatcher"));
                  },
                  {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"});
    return {"DISPLAY=", "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=" + socket,
            "DBUS_SESSION_BUS_ADDRESS=" + session.busAddress()};
}

TEST(OnSway, TheIconRegistersAStatusNotifierItemWhoseMenuQuitsAndWithoutABarAWindowShows) {
    if (const std::string error = privateNetworkError(); !error.empty()) {
        GTEST_SKIP() << error;
    }
    testing::TempDir runtime("skylark-desktop-");
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    {
        testing::DesktopSession session;
        auto env = startSway(session, false);
        auto skylark = launchSkylark(env);
        const std::string tree = "swaymsg -s " + session.runtime() + "/sway-ipc.*.sock -t get_tree";
        EXPECT_TRUE(eventually(tree + " | grep -c '\"app_id\": \"org.skylark.Skylark\"'", "1\n"))
            << "no window for the menu";
    }
    testing::DesktopSession session;
    auto skylark = launchSkylark(startSway(session, true));
    const std::string send = "dbus-send --bus=" + session.busAddress() + " --print-reply ";
    std::string item;  // "<bus name>/<path>", as the watcher lists it
    ASSERT_TRUE(pollUntil(
        [&] {
            item = firstLineOf(
                send +
                "--dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher "
                "org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher "
                "string:RegisteredStatusNotifierItems | sed -n 's/ *string \"\\(.*\\)\"/\\1/p'");
            return !item.empty();
        },
        20s))
        << "no item registered with the watcher";
    const std::string service = item.substr(0, item.find('/'));
    const std::string menu = firstLineOf(
        send + "--dest=" + service + " " + item.substr(item.find('/')) +
        " org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierItem string:Menu"
        " | sed -n 's/.*object path \"\\(.*\\)\"/\\1/p'");
    ASSERT_FALSE(menu.empty()) << "the item exports no menu";
    // Each item of the exported menu as "<id> <label>".
    const std::string layout = outputOf(
        send + "--dest=" + service + " " + menu +
        " com.canonical.dbusmenu.GetLayout int32:0 int32:-1 array:string: | awk "
        "'$1 == \"int32\" {id = $2} /string \"label\"/ {getline; sub(/.*string \"/, \"\"); "
        "sub(/\"$/, \"\"); print id, $0}'");
    std::vector<std::string> labels;
    std::string quitId;
    std::istringstream lines(layout);
    for (std::string id, label; lines >> id && std::getline(lines >> std::ws, label);) {
        labels.push_back(label);
        quitId = label == "Quit Skylark" ? id : quitId;
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"Skylark", "Fire TV: http://192.168.1.7:8765",
                                                "Ready", "Share Screen or App + Audio\u2026",
                                                "Low Latency Sharing\u2026", "Copy Fire TV Address",
                                                "Stop Casting", "Quit Skylark"}));
    // The host's click on an item runs its command.
    runToEnd({"sh", "-c",
              send + "--dest=" + service + " " + menu + " com.canonical.dbusmenu.Event int32:" +
                  quitId + " string:clicked variant:string: uint32:0"});
    EXPECT_EQ(skylark->waitExit(10s), 0);
}

}  // namespace
}  // namespace skylark
