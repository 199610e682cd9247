// Skylark as a person meets it on a desktop: a real X server (Xvfb), a real XEmbed tray host
// (trayer) and a D-Bus session, all started here; the real executable, driven with real
// clicks and key presses (xdotool), read back through the X tree, the X clipboard (xclip),
// screenshots (ImageMagick) and its own HTTP service. Also without any display at all.
//
// Each test program runs in a network namespace of its own (it needs root), with loopback and
// one Ethernet-like interface at 192.168.1.7: Skylark serves on its own port 8765 there, beside
// any Skylark of the machine's and any other test, and shows a known address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/x11/x11_connection.hpp"
#include "support/child_process.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::pollUntil;
using testing::runToEnd;
using testing::TempDir;
using testing::XvfbServer;

constexpr unsigned kScreenWidth = 800;
constexpr unsigned kScreenHeight = 480;

constexpr const char* kAddress = "http://192.168.1.7:8765";
constexpr std::uint16_t kPort = 8765;

// Moves this process, and all it starts from now on, into a new network namespace with
// loopback and a veth pair, "eth0" at 192.168.1.7/24. Must run before any thread starts.
// Returns why it could not, or an empty text.
std::string enterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return std::string("no network namespace of its own (") + std::strerror(errno) +
               "); run the test as root";
    }
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth1"},
        {"ip", "addr", "add", "192.168.1.7/24", "dev", "eth0"},
        {"ip", "link", "set", "eth0", "up"},
        {"ip", "link", "set", "eth1", "up"},
    };
    for (const auto& step : steps) {
        if (runToEnd(step) != 0) {
            return "could not set up the private network (" + step[1] + " " + step[2] + ")";
        }
    }
    return {};
}

// ---- Small clients -------------------------------------------------------------------------

// The body of GET `path` from the server on loopback, or empty when it cannot be fetched.
std::string httpGet(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            ssize_t n = 0;
            while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
                response.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    const auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : response.substr(body + 4);
}

// The lines a command prints on standard output, up to its end or its first empty line.
std::string outputOf(const std::vector<std::string>& argv) {
    ChildProcess child(argv, {{}, true});
    std::string all;
    for (std::string line; !(line = child.readLine(10s)).empty();) {
        all += line + "\n";
    }
    child.waitExit(10s);
    return all;
}

int xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runToEnd(argv);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- The X tree, as the test sees it -------------------------------------------------------

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    int centerX() const { return x + width / 2; }
    int centerY() const { return y + height / 2; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

class XTree {
  public:
    explicit XTree(const std::string& display) {
        std::string error;
        connection_ = x11::Connection::open(display, error);
        if (connection_ == nullptr) {
            throw std::runtime_error(error);
        }
    }

    xcb_window_t selectionOwner(const std::string& selection) {
        x11::Reply<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
            c(), xcb_get_selection_owner(c(), connection_->atom(selection)), nullptr));
        return reply ? reply->owner : xcb_window_t{XCB_WINDOW_NONE};
    }

    std::vector<xcb_window_t> children(xcb_window_t window) {
        x11::Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c(), xcb_query_tree(c(), window), nullptr));
        if (!tree) {
            return {};
        }
        const xcb_window_t* first = xcb_query_tree_children(tree.get());
        return {first, first + xcb_query_tree_children_length(tree.get())};
    }

    // The class part of WM_CLASS ("Skylark", "trayer").
    std::string windowClass(xcb_window_t window) {
        const std::string both = property(window, XCB_ATOM_WM_CLASS);
        const auto split = both.find('\0');
        return split == std::string::npos ? std::string()
                                          : both.substr(split + 1, both.size() - split - 2);
    }

    std::string title(xcb_window_t window) { return property(window, XCB_ATOM_WM_NAME); }

    bool viewable(xcb_window_t window, bool* overrideRedirect = nullptr) {
        x11::Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c(), xcb_get_window_attributes(c(), window), nullptr));
        if (attributes && overrideRedirect != nullptr) {
            *overrideRedirect = attributes->override_redirect != 0;
        }
        return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    Rect onScreen(xcb_window_t window) {
        x11::Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c(), xcb_get_geometry(c(), window), nullptr));
        x11::Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
            c(), xcb_translate_coordinates(c(), window, connection_->root(), 0, 0), nullptr));
        if (!geometry || !origin) {
            return {};
        }
        return {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
    }

    // Skylark's icons docked in a tray: Skylark windows whose top-level window is trayer's.
    std::vector<xcb_window_t> dockedIcons() {
        std::vector<xcb_window_t> found;
        for (xcb_window_t top : children(connection_->root())) {
            if (windowClass(top) == "trayer") {
                collect(top, found);
            }
        }
        return found;
    }

    // Skylark's viewable top-level windows: popups (its menu) or ordinary windows (an alert,
    // the picker).
    std::vector<xcb_window_t> topLevels(bool popup) {
        std::vector<xcb_window_t> found;
        for (xcb_window_t top : children(connection_->root())) {
            bool isPopup = false;
            if (windowClass(top) == "Skylark" && viewable(top, &isPopup) && isPopup == popup) {
                found.push_back(top);
            }
        }
        return found;
    }

  private:
    xcb_connection_t* c() { return connection_->get(); }

    std::string property(xcb_window_t window, xcb_atom_t name) {
        x11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c(), xcb_get_property(c(), 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
            nullptr));
        if (!reply) {
            return {};
        }
        const char* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
        return std::string(value,
                           static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    }

    void collect(xcb_window_t window, std::vector<xcb_window_t>& found) {
        for (xcb_window_t child : children(window)) {
            if (windowClass(child) == "Skylark" && viewable(child)) {
                found.push_back(child);
            }
            collect(child, found);
        }
    }

    std::unique_ptr<x11::Connection> connection_;
};

// ---- The running program -------------------------------------------------------------------

// Starts the executable and checks the address line it prints first.
std::unique_ptr<ChildProcess> launchSkylark(std::vector<std::string> extraEnv = {}) {
    auto skylark = std::make_unique<ChildProcess>(std::vector<std::string>{SKYLARK_EXECUTABLE},
                                                  ChildProcess::Options{std::move(extraEnv), true});
    EXPECT_EQ(skylark->readLine(30s), std::string("Fire TV: ") + kAddress);
    return skylark;
}

// Starts a second Skylark whose standard error goes to `errors`.
std::unique_ptr<ChildProcess> launchSecond(const std::string& errors,
                                           std::vector<std::string> extraEnv = {}) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c", "exec \"$0\" 2>\"$1\"", SKYLARK_EXECUTABLE, errors},
        ChildProcess::Options{std::move(extraEnv), true});
}

// ---- On a desktop --------------------------------------------------------------------------

class SkylarkOnADesktop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (const std::string error = enterPrivateNetwork(); !error.empty()) {
            GTEST_SKIP() << error;
        }
        runtime_ = std::make_unique<TempDir>("skylark-desktop-run-");
        chmod(runtime_->path().c_str(), 0700);
        xvfb_ = std::make_unique<XvfbServer>(kScreenWidth, kScreenHeight);
        setenv("DISPLAY", xvfb_->display().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
        // An X11 session: Qt on X, capture through X11.
        unsetenv("QT_QPA_PLATFORM");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("XDG_SESSION_TYPE");
        // No sound server: the cast goes on with silence, and no daemon of the machine's is
        // reached or spawned.
        setenv("PULSE_SERVER", ("unix:" + runtime_->path() + "/no-pulse").c_str(), 1);

        dbus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"},
            ChildProcess::Options{});
        const std::string bus = dbus_->readLine(10s);
        ASSERT_FALSE(bus.empty()) << "dbus-daemon did not start";
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);

        tree_ = std::make_unique<XTree>(xvfb_->display());
        trayer_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right",
                                     "--widthtype", "pixel", "--width", "120", "--heighttype",
                                     "pixel", "--height", "32", "--transparent", "false",
                                     "--SetDockType", "true"},
            ChildProcess::Options{});
        ASSERT_TRUE(pollUntil(
            [] { return tree_->selectionOwner("_NET_SYSTEM_TRAY_S0") != XCB_WINDOW_NONE; }, 10s))
            << "trayer did not take the tray";
        runToEnd({"xsetroot", "-solid", "#3b4252"});
    }

    static void TearDownTestSuite() {
        tree_.reset();
        trayer_.reset();
        dbus_.reset();
        xvfb_.reset();
        runtime_.reset();
    }

    void SetUp() override {
        if (tree_ == nullptr) {
            GTEST_SKIP() << "no desktop";
        }
    }

    // Waits for Skylark's icon in the tray, settled where the tray has placed it.
    static Rect waitForDockedIcon() {
        Rect last;
        int steady = 0;
        EXPECT_TRUE(pollUntil(
            [&] {
                const std::vector<xcb_window_t> icons = tree_->dockedIcons();
                const Rect now = icons.empty() ? Rect{} : tree_->onScreen(icons.front());
                steady = now.width > 0 && now == last ? steady + 1 : 0;
                last = now;
                return steady >= 5;
            },
            30s))
            << "no Skylark icon in the tray";
        return last;
    }

    // Clicks the icon with `button` and waits for the menu; returns its window.
    static xcb_window_t openMenu(const Rect& icon, const char* button) {
        xdotool({"mousemove", std::to_string(icon.centerX()), std::to_string(icon.centerY()),
                 "click", button});
        std::vector<xcb_window_t> popups;
        EXPECT_TRUE(pollUntil([&] { return !(popups = tree_->topLevels(true)).empty(); }, 10s))
            << "the menu did not open on button " << button;
        return popups.empty() ? xcb_window_t{XCB_WINDOW_NONE} : popups.front();
    }

    static bool menuOpen() { return !tree_->topLevels(true).empty(); }

    static std::optional<xcb_window_t> waitForWindow(const std::string& title) {
        std::optional<xcb_window_t> found;
        pollUntil(
            [&] {
                for (xcb_window_t window : tree_->topLevels(false)) {
                    if (tree_->title(window) == title) {
                        found = window;
                    }
                }
                return found.has_value();
            },
            20s);
        return found;
    }

    // Screenshot of `area` (grown by a margin, kept on the screen) into `path`.
    static void screenshot(Rect area, const std::string& path) {
        const int margin = 16;
        const int left = std::max(0, area.x - margin);
        const int top = std::max(0, area.y - margin);
        const int right = std::min<int>(kScreenWidth, area.x + area.width + margin);
        const int bottom = std::min<int>(kScreenHeight, area.y + area.height + margin);
        const std::string whole = runtime_->path() + "/screen.png";
        ASSERT_EQ(runToEnd({"import", "-window", "root", whole}), 0);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ASSERT_EQ(runToEnd({"convert", whole, "-crop",
                            std::to_string(right - left) + "x" + std::to_string(bottom - top) +
                                "+" + std::to_string(left) + "+" + std::to_string(top),
                            "+repage", path}),
                  0);
    }

    static inline std::unique_ptr<TempDir> runtime_;
    static inline std::unique_ptr<XvfbServer> xvfb_;
    static inline std::unique_ptr<ChildProcess> dbus_;
    static inline std::unique_ptr<ChildProcess> trayer_;
    static inline std::unique_ptr<XTree> tree_;
};

TEST_F(SkylarkOnADesktop, TrayIconOpensTheMenuWhichSharesTheScreenAndStopsIt) {
    // Drawn larger, as on a high-density screen, so the screenshot reads well in the README.
    auto skylark = launchSkylark({"QT_SCALE_FACTOR=1.5"});
    const Rect icon = waitForDockedIcon();
    ASSERT_GT(icon.width, 0);
    EXPECT_TRUE(tree_->topLevels(false).empty()) << "no window besides the tray icon";

    // Left and right clicks both open the menu.
    openMenu(icon, "1");
    xdotool({"key", "Escape"});
    ASSERT_TRUE(pollUntil([] { return !menuOpen(); }, 10s));
    openMenu(icon, "3");

    // Ctrl+S while the menu is open: the picker; Enter shares the first display.
    xdotool({"key", "ctrl+s"});
    const auto picker = waitForWindow("Share with the TV");
    ASSERT_TRUE(picker.has_value()) << "the content picker did not appear";
    xdotool({"windowfocus", "--sync", std::to_string(*picker)});
    xdotool({"key", "Return"});
    EXPECT_TRUE(pollUntil([&] { return httpGet(kPort, "/api/live") == R"({"active":true})"; }, 60s))
        << "the cast did not become playable";

    // The menu while casting, for the README.
    const xcb_window_t menu = openMenu(icon, "1");
    const Rect menuArea = tree_->onScreen(menu);
    EXPECT_LE(menuArea.y + menuArea.height, icon.y) << "the menu covers the icon";
    const int left = std::min(menuArea.x, icon.x);
    const int top = std::min(menuArea.y, icon.y);
    const int right = std::max(menuArea.x + menuArea.width, icon.x + icon.width);
    const int bottom = std::max(menuArea.y + menuArea.height, icon.y + icon.height);
    const std::string menuShot = std::string(SKYLARK_SCREENSHOT_DIR) + "/menu.png";
    screenshot({left, top, right - left, bottom - top}, menuShot);

    // Ctrl+. stops the cast and raises the low-latency pages' stop token.
    EXPECT_EQ(httpGet(kPort, "/api/command"), R"({"stopToken":0})");
    xdotool({"key", "ctrl+period"});
    EXPECT_TRUE(
        pollUntil([&] { return httpGet(kPort, "/api/command") == R"({"stopToken":1})"; }, 10s));
    EXPECT_TRUE(
        pollUntil([&] { return httpGet(kPort, "/api/live") == R"({"active":false})"; }, 10s));
    EXPECT_FALSE(menuOpen());
}

TEST_F(SkylarkOnADesktop, CopyAddressLeavesItOnTheClipboardAndQuitEnds) {
    auto skylark = launchSkylark();
    const Rect icon = waitForDockedIcon();

    // Chosen with the keyboard, as the fourth enabled item.
    openMenu(icon, "1");
    xdotool({"key", "Down", "Down", "Down", "Return"});
    std::string copied;
    EXPECT_TRUE(pollUntil(
        [&] {
            copied = outputOf({"sh", "-c", "xclip -o -selection clipboard; echo"});
            return copied == std::string(kAddress) + "\n";
        },
        10s))
        << "clipboard holds \"" << copied << "\"";

    openMenu(icon, "1");
    xdotool({"key", "ctrl+q"});
    EXPECT_EQ(skylark->waitExit(10s), 0);
    EXPECT_TRUE(pollUntil([] { return tree_->dockedIcons().empty(); }, 10s));
}

TEST_F(SkylarkOnADesktop, SecondLaunchSaysSkylarkIsAlreadyRunningAndEnds) {
    auto first = launchSkylark();
    waitForDockedIcon();

    const std::string errors = runtime_->path() + "/second.err";
    auto second = launchSecond(errors);
    const auto alert = waitForWindow("Skylark");
    ASSERT_TRUE(alert.has_value()) << "no alert";
    EXPECT_EQ(tree_->dockedIcons().size(), 1u) << "the second launch showed a tray icon";
    xdotool({"windowfocus", "--sync", std::to_string(*alert)});
    xdotool({"key", "Return"});
    EXPECT_EQ(second->waitExit(10s), 1);
    const std::string text = readFile(errors);
    EXPECT_NE(text.find("Skylark could not start"), std::string::npos) << text;
    EXPECT_NE(text.find("Skylark is already running"), std::string::npos) << text;
    EXPECT_TRUE(first->running());
}

// ---- Without a display ---------------------------------------------------------------------

class SkylarkWithoutADesktop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (const std::string error = enterPrivateNetwork(); !error.empty()) {
            GTEST_SKIP() << error;
        }
    }
};

TEST_F(SkylarkWithoutADesktop, ServesThePagesAloneUntilSIGTERM) {
    // No DISPLAY at all, and a DISPLAY that names no server: neither may abort.
    for (const char* display : {"DISPLAY=", "DISPLAY=:4999"}) {
        SCOPED_TRACE(display);
        auto skylark = launchSkylark({display, "QT_QPA_PLATFORM="});
        EXPECT_EQ(skylark->readLine(10s).rfind("Native sharing needs a desktop session.", 0), 0u);
        EXPECT_EQ(httpGet(kPort, "/api/info"), R"({"address":"192.168.1.7","port":8765})");
        const int status = skylark->stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST_F(SkylarkWithoutADesktop, TakenPortEndsWithStatusOne) {
    const std::vector<std::string> noDisplay = {"DISPLAY=", "QT_QPA_PLATFORM="};
    auto first = launchSkylark(noDisplay);
    TempDir scratch("skylark-headless-");
    const std::string errors = scratch.path() + "/second.err";
    auto second = launchSecond(errors, noDisplay);
    EXPECT_EQ(second->waitExit(10s), 1);
    EXPECT_EQ(readFile(errors).rfind("Skylark could not start\nSkylark is already running", 0), 0u)
        << readFile(errors);
    EXPECT_TRUE(first->running());
}

}  // namespace
}  // namespace skylark
