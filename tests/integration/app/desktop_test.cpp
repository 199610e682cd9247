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
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>

#include "support/child_process.hpp"
#include "support/desktop_services.hpp"
#include "support/desktop_session.hpp"
#include "support/gnome_desktop.hpp"

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

// Reads `child`'s lines until one holds `text`; false at its end or after `timeout`.
bool readUntil(ChildProcess& child, const std::string& text, std::chrono::seconds timeout) {
    return pollUntil([&] { return child.readLine(1s).find(text) != std::string::npos; }, timeout);
}

// Skylark with its standard error merged into what the test reads.
std::unique_ptr<ChildProcess> launchSkylark(std::vector<std::string> env = {}) {
    auto skylark = std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c", "exec \"$0\" 2>&1", SKYLARK},
        ChildProcess::Options{std::move(env), true});
    EXPECT_TRUE(readUntil(*skylark, "Fire TV: http://192.168.1.7:8765", 30s));
    return skylark;
}

// A second Skylark must be refused, after its alert on a desktop: status 1 and why.
void expectSecondLaunchRefused(const std::vector<std::string>& env, bool alert) {
    ChildProcess second({"sh", "-c", "exec \"$0\" 2>&1", SKYLARK}, {env, true});
    EXPECT_TRUE(!alert || outputOf(pressEnterIn("Skylark")) == "pressed\n") << "no alert";
    const std::string errors = readAll(second);
    EXPECT_EQ(second.waitExit(10s), 1);
    EXPECT_EQ(errors.rfind("Skylark could not start\nSkylark is already running", 0), 0u) << errors;
}

// Presses `key` in the open menu, and again every 2 s while the menu stays open and `done` has
// not come: a loaded machine can hand a first key to the menu before the menu holds the keyboard.
bool pressInMenuUntil(const char* key, const std::function<bool()>& done) {
    return pollUntil(
        [&] {
            if (done()) {
                return true;
            }
            if (outputOf(kWindows) == "2\n") {
                runToEnd({"xdotool", "key", key});
                std::this_thread::sleep_for(2s);
            }
            return false;
        },
        60s);
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
    EXPECT_TRUE(pressInMenuUntil("ctrl+s", [] {
        return outputOf("xdotool search --onlyvisible --maxdepth 1 --name '^Share with the TV$'"
                        " | wc -l") == "1\n";
    })) << "no picker";
    EXPECT_EQ(outputOf(pressEnterIn("Share with the TV")), "pressed\n");
    EXPECT_TRUE(eventually(get("/api/live"), "{\"active\":true}\n", 60s));
    openMenu(icon, "3");  // a right click opens it too
    EXPECT_TRUE(pressInMenuUntil(
        "ctrl+period", [] { return outputOf(get("/api/command")) == "{\"stopToken\":1}\n"; }));
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
        EXPECT_TRUE(readUntil(*skylark, "Native sharing needs a desktop session.", 10s));
        EXPECT_EQ(outputOf(get("/api/info")), "{\"address\":\"192.168.1.7\",\"port\":8765}\n");
        expectSecondLaunchRefused(env, false);
        const int end = skylark->stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end;
    }
}

// The served stream's first picture: "<width>,<height>", and whether its pixel at
// (8, height - 16) is `colour` but for the encoder's small errors.
std::pair<std::string, bool> servedPicture(int colour = 0x3366cc) {
    const std::string stream = " http://127.0.0.1:8765/live/stream.m3u8";
    std::istringstream rgb(
        outputOf("ffmpeg -v error -i" + stream +
                 " -frames:v 1 -vf crop=2:2:8:ih-16 -f rawvideo -pix_fmt rgb24 - |"
                 " od -An -tu1"));
    int r = 0, g = 0, b = 0;
    rgb >> r >> g >> b;
    const int error = std::abs(r - (colour >> 16)) + std::abs(g - (colour >> 8 & 0xff)) +
                      std::abs(b - (colour & 0xff));
    return {outputOf("ffprobe -v error -show_entries stream=width,height -of csv=p=0" + stream),
            error < 40};
}

TEST(OnGnome, TheMenuWindowSharesTheScreenThroughThePortalDialogWithRealFramesStopsAndQuits) {
    if (const std::string error = privateNetworkError(); !error.empty()) {
        GTEST_SKIP() << error;
    } else if (const std::string why = testing::GnomeDesktop::missing(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    testing::TempDir runtime("skylark-desktop-");
    testing::GnomeDesktop desktop(640, 480);
    std::vector<std::string> env = desktop.clientEnv();
    env.insert(env.end(), {"QT_QPA_PLATFORM=", "XDG_RUNTIME_DIR=" + runtime.path(),
                           "PULSE_SERVER=unix:/nonexistent"});
    auto skylark = launchSkylark(env);
    // Ctrl+S in the menu's window, which has the focus once it shows: the portal's dialog,
    // where the monitor is chosen and shared.
    using testing::kControlKey;
    ASSERT_TRUE(pollUntil(
        [&] {
            desktop.keys({kControlKey, 's'});
            return readUntil(*skylark, "presenting content picker", 1s);
        },
        30s))
        << "no picker";
    ASSERT_TRUE(pollUntil(
        [&] { return desktop.share(), outputOf(get("/api/live")) == "{\"active\":true}\n"; }, 30s))
        << "the dialog did not share the screen";
    // A window that opens now shows in the served stream, at the monitor's size.
    env.insert(env.begin(), {"QT_QPA_PLATFORM=wayland", "QT_WAYLAND_DISABLE_WINDOWDECORATION=1"});
    auto colour = std::make_unique<ChildProcess>(
        std::vector<std::string>{SKYLARK_TEST_COLOUR_WINDOW}, ChildProcess::Options{env});
    EXPECT_TRUE(pollUntil([&] { return servedPicture().second; }, 30s)) << "not its frames";
    EXPECT_EQ(servedPicture().first, "640,480\n");
    // The window's own shortcuts once the focus is back in it from the other window, which
    // takes a moment after that one is gone: Stop Casting (pressed until it takes), and Quit.
    colour.reset();
    EXPECT_TRUE(pollUntil(
        [&] {
            desktop.keys({kControlKey, '.'});
            return eventually(get("/api/live"), "{\"active\":false}\n", 2s);
        },
        20s));
    desktop.keys({kControlKey, 'q'});
    EXPECT_EQ(skylark->waitExit(10s), 0);
}

// GNOME as it ships: gnome-shell, whose AppIndicator extension hosts Skylark's icon in the top
// bar and whose window list fills the portal dialog's other tab.
TEST(OnGnomeShell, TheIconsMenuSharesOneWindowFromThePortalsListWithItsFramesStopsAndQuits) {
    using testing::GnomeDesktop;
    if (const std::string error = privateNetworkError(); !error.empty()) {
        GTEST_SKIP() << error;
    } else if (const std::string why = GnomeDesktop::missing(GnomeDesktop::shell); !why.empty()) {
        GTEST_SKIP() << why;
    }
    testing::TempDir runtime("skylark-desktop-");
    GnomeDesktop desktop(1024, 768, 1, GnomeDesktop::shell);
    std::vector<std::string> env = desktop.clientEnv();
    env.insert(env.end(), {"QT_QPA_PLATFORM=wayland", "QT_WAYLAND_DISABLE_WINDOWDECORATION=1"});
    ChildProcess window({SKYLARK_TEST_COLOUR_WINDOW, "cc3333"}, {env});  // the one to share
    const QImage before = desktop.screenshot();
    env.insert(env.begin(),
               {"QT_QPA_PLATFORM=", "XDG_CURRENT_DESKTOP=GNOME",
                "XDG_RUNTIME_DIR=" + runtime.path(), "PULSE_SERVER=unix:/nonexistent"});
    auto skylark = launchSkylark(env);
    // The icon is what appears in the top bar's right quarter, visible on its dark ground.
    QPoint icon;
    ASSERT_TRUE(pollUntil(
        [&] {
            return !(icon = testing::changedAt(before, desktop.screenshot(), {768, 0, 256, 24}))
                        .isNull();
        },
        20s))
        << "no icon in the top bar";
    // A click opens its menu under it; the keyboard reaches the `n`th enabled item and runs it,
    // until that is `done`: gnome-shell 48 gives the first menu after the items change no keys.
    const QImage idle = desktop.screenshot();
    auto opened = [&] {
        return !testing::changedAt(idle, desktop.screenshot(), {icon.x() - 1, 48, 2, 32}).isNull();
    };
    auto choose = [&](int n, const std::function<bool()>& done) {
        return pollUntil(
            [&] {
                desktop.keys({testing::kEscapeKey});  // the menu an attempt left open
                desktop.click(icon.x(), icon.y());
                const bool open = pollUntil(opened, 3s);
                for (int i = 0; open && i <= n; ++i) {
                    desktop.keys({i < n ? testing::kDownKey : testing::kReturnKey});
                }
                return open && pollUntil(done, 5s);
            },
            30s);
    };
    ASSERT_TRUE(choose(1, [&] { return readUntil(*skylark, "presenting content picker", 1s); }))
        << "no picker";  // Share Screen or App + Audio...
    // The dialog's list once drawn and still; then its Single Window tab, clicked until the
    // windows' list replaces it and is still (a click can go amiss). Releases lay it out apart:
    // Tab reaches its first row from the tabs or the checkbox above; Share, enabled soon after.
    const QRect rows = desktop.dialogRows();
    QImage shown;
    auto drawn = [&](const QImage& since, std::chrono::seconds timeout) {
        return pollUntil(
            [&] {
                const QImage now = desktop.screenshot(), last = std::exchange(shown, now);
                return !testing::changedAt(since, now, rows).isNull() &&
                       testing::changedAt(last, now, rows).isNull();
            },
            timeout);
    };
    ASSERT_TRUE(drawn(idle, 30s)) << "no dialog";
    const QImage monitors = shown;
    ASSERT_TRUE(pollUntil([&] { return desktop.showWindows(), drawn(monitors, 3s); }, 20s))
        << "no window list";
    desktop.keys({testing::kTabKey}), desktop.keys({testing::kReturnKey});
    auto share = [&] { return desktop.keys({testing::kAltKey, 's'}), outputOf(get("/api/live")); };
    ASSERT_TRUE(pollUntil([&] { return share() == "{\"active\":true}\n"; }, 30s))
        << "the dialog did not share the window";
    // The stream shows the window alone: its colour even in the corner where the screen has
    // the background.
    EXPECT_TRUE(pollUntil([&] { return servedPicture(0xcc3333).second; }, 30s)) << "not its frames";
    EXPECT_TRUE(choose(4, [&] { return outputOf(get("/api/live")) == "{\"active\":false}\n"; }))
        << "still casting";                                       // Stop Casting
    EXPECT_TRUE(choose(6, [&] { return !skylark->running(); }));  // Quit, after Allowed TVs...
    EXPECT_EQ(skylark->waitExit(10s), 0);
}

}  // namespace
}  // namespace skylark
