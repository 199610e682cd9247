// The real executable as a person meets it: on Xvfb with the trayer tray host and a D-Bus
// session, driven by real clicks and keys (xdotool) and read back through the X clipboard and
// its own HTTP service; and with no display at all. Each test program runs in a network
// namespace of its own (root only) where "eth0" is 192.168.1.7, so port 8765 is private to it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/child_process.hpp"
#include "support/desktop_services.hpp"

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

// The body of GET `path` from port 8765 on loopback; empty when it cannot be fetched.
std::string httpGet(const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(8765), {htonl(INADDR_LOOPBACK)}, {}};
    std::string response;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:8765\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
        char chunk[4096];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            response.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
}

// What `child` prints on standard output, up to its end (or an empty line).
std::string readAll(ChildProcess& child) {
    std::string all;
    for (std::string line; !(line = child.readLine(10s)).empty();) {
        all += line + "\n";
    }
    return all;
}

std::string outputOf(const std::string& command) {
    ChildProcess child({"sh", "-c", command}, {{}, true});
    return readAll(child);
}

// Waits for Skylark's window titled `title` and presses Enter in it; false when none came.
bool pressEnterIn(const char* title) {
    return runToEnd(
               {"sh", "-c",
                "w=$(xdotool search --sync --onlyvisible --maxdepth 1 --name \"^$0$\" | head -1)"
                " && xdotool windowfocus --sync $w && xdotool key Return",
                title},
               {}, 20s) == 0;
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
    EXPECT_TRUE(!alert || pressEnterIn("Skylark")) << "no alert";
    const std::string errors = readAll(second);
    EXPECT_EQ(second.waitExit(10s), 1);
    EXPECT_EQ(errors.rfind("Skylark could not start\nSkylark is already running", 0), 0u) << errors;
}

class OnADesktop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (const std::string error = privateNetworkError(); !error.empty()) {
            GTEST_SKIP() << error;
        }
        xvfb_ = std::make_unique<testing::XvfbServer>(800, 480);
        setenv("DISPLAY", xvfb_->display().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
        setenv("PULSE_SERVER", "unix:/nonexistent", 1);  // a cast with silence
        for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"}) {
            unsetenv(name);
        }
        dbus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"},
            ChildProcess::Options{});
        setenv("DBUS_SESSION_BUS_ADDRESS", dbus_->readLine(10s).c_str(), 1);
        // A 120x32 tray in the screen's bottom right corner.
        trayer_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right",
                                     "--widthtype", "pixel", "--width", "120", "--heighttype",
                                     "pixel", "--height", "32", "--SetDockType", "true"},
            ChildProcess::Options{});
        runToEnd({"xdotool", "search", "--sync", "--onlyvisible", "--class", "^trayer$"});
    }
    static void TearDownTestSuite() {
        trayer_.reset();
        dbus_.reset();
        xvfb_.reset();
    }
    void SetUp() override {
        if (!xvfb_) {
            GTEST_SKIP();
        }
    }

    // Skylark's viewable windows, top-level ones only or all, as "x y" of their centres.
    static std::vector<std::string> windows(bool topLevelOnly = false) {
        std::istringstream lines(
            outputOf(std::string("for w in $(xdotool search --onlyvisible ") +
                     (topLevelOnly ? "--maxdepth 1 " : "") +
                     "--class '^Skylark$'); do eval $(xdotool getwindowgeometry --shell $w);"
                     " echo $((X + WIDTH / 2)) $((Y + HEIGHT / 2)); done"));
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);) {
            found.push_back(line);
        }
        return found;
    }

    // Waits for the icon to dock inside the tray and returns its centre.
    static std::string dockedIcon() {
        std::string icon;
        EXPECT_TRUE(pollUntil(
            [&] {
                const auto all = windows();
                int x = 0, y = 0;
                return all.size() == 1 && std::sscanf(all[0].c_str(), "%d %d", &x, &y) == 2 &&
                       x >= 680 && y >= 448 && (icon = all[0], true);
            },
            30s))
            << "no Skylark icon in the tray";
        return icon;
    }

    static void openMenu(const std::string& icon, const char* button) {
        runToEnd({"sh", "-c", "xdotool mousemove " + icon + " click " + button});
        EXPECT_TRUE(pollUntil([] { return windows().size() == 2; }, 10s))
            << "the menu did not open on button " << button;
    }

    static inline testing::TempDir runtime_{"skylark-desktop-"};
    static inline std::unique_ptr<testing::XvfbServer> xvfb_;
    static inline std::unique_ptr<ChildProcess> dbus_, trayer_;
};

TEST_F(OnADesktop, TrayIconOpensTheMenuWhoseShortcutsCastAndStop) {
    auto skylark = launchSkylark();
    const std::string icon = dockedIcon();
    openMenu(icon, "1");
    runToEnd({"xdotool", "key", "Escape"});
    ASSERT_TRUE(pollUntil([] { return windows().size() == 1; }, 10s));
    openMenu(icon, "3");

    // Ctrl+S: the picker, where Enter shares the main display.
    runToEnd({"xdotool", "key", "ctrl+s"});
    EXPECT_TRUE(pressEnterIn("Share with the TV")) << "no picker";
    EXPECT_TRUE(pollUntil([] { return httpGet("/api/live") == R"({"active":true})"; }, 60s));

    // Ctrl+.: the cast ends and the low-latency pages' stop token goes up.
    openMenu(icon, "1");
    runToEnd({"xdotool", "key", "ctrl+period"});
    EXPECT_TRUE(pollUntil([] { return httpGet("/api/command") == R"({"stopToken":1})"; }, 10s));
    EXPECT_TRUE(pollUntil([] { return httpGet("/api/live") == R"({"active":false})"; }, 10s));
}

TEST_F(OnADesktop, CopyPutsTheAddressOnTheClipboardQuitEndsAndASecondLaunchIsRefused) {
    auto skylark = launchSkylark();
    const std::string icon = dockedIcon();

    expectSecondLaunchRefused({}, true);
    EXPECT_EQ(windows().size(), 1u) << "the refused launch left a window or an icon";

    // Copy Fire TV Address, chosen with the keyboard as the fourth enabled item.
    openMenu(icon, "1");
    runToEnd({"xdotool", "key", "Down", "Down", "Down", "Return"});
    EXPECT_TRUE(pollUntil(
        [] {
            return outputOf("xclip -o -selection clipboard; echo") == "http://192.168.1.7:8765\n";
        },
        10s));

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
        EXPECT_EQ(httpGet("/api/info"), R"({"address":"192.168.1.7","port":8765})");
        expectSecondLaunchRefused(env, false);
        const int end = skylark->stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end;
    }
}

}  // namespace
}  // namespace skylark
