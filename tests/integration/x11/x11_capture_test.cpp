// Display and application capture against a real X server (Xvfb, started here), with colours
// drawn on its screen and read back from the delivered frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/x11/frame_pump.hpp"
#include "platform/x11/frame_source.hpp"
#include "platform/x11/x11_desktop.hpp"
#include "support/child_process.hpp"
#include "support/desktop_services.hpp"

namespace skylark::x11 {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::pollUntil;
using testing::XvfbServer;

constexpr unsigned kScreenWidth = 1280;
constexpr unsigned kScreenHeight = 720;
constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff,
                   kBlack = 0x000000;

// Solid-colour override-redirect windows drawn straight from the test's own connection.
class Painter {
  public:
    explicit Painter(const std::string& display) : conn_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data;
    }
    ~Painter() { xcb_disconnect(conn_); }

    xcb_window_t fill(int x, int y, unsigned w, unsigned h, uint32_t rgb) {
        const xcb_window_t win = xcb_generate_id(conn_);
        const uint32_t values[] = {rgb, 1};
        xcb_create_window(conn_, XCB_COPY_FROM_PARENT, win, screen_->root, static_cast<int16_t>(x),
                          static_cast<int16_t>(y), static_cast<uint16_t>(w),
                          static_cast<uint16_t>(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                          values);
        xcb_map_window(conn_, win);
        sync();
        return win;
    }

    void recolour(xcb_window_t win, uint32_t rgb) {
        xcb_change_window_attributes(conn_, win, XCB_CW_BACK_PIXEL, &rgb);
        xcb_clear_area(conn_, 0, win, 0, 0, 0, 0);
        sync();
    }

    void destroy(xcb_window_t win) {
        xcb_destroy_window(conn_, win);
        sync();
    }

    // Four quadrants of the whole screen: red, green / blue, white.
    void quadrants() {
        const unsigned w = kScreenWidth / 2, h = kScreenHeight / 2;
        fill(0, 0, w, h, kRed);
        fill(static_cast<int>(w), 0, w, h, kGreen);
        fill(0, static_cast<int>(h), w, h, kBlue);
        fill(static_cast<int>(w), static_cast<int>(h), w, h, kWhite);
    }

  private:
    void sync() {
        std::free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
    }

    xcb_connection_t* conn_;
    xcb_screen_t* screen_;
};

// Collects what a pump delivers. Frames' queue tokens are dropped at once unless held.
class Collector {
  public:
    FramePump::FrameHandler frames() {
        return [this](CapturedFrame frame) {
            std::lock_guard lock(mutex_);
            if (!holdTokens_) {
                frame.queued.reset();
            }
            // Only the newest picture is kept, as a consumer would: the pump's pool is small.
            if (!frames_.empty()) {
                frames_.back().picture.reset();
            }
            frames_.push_back(std::move(frame));
            changed_.notify_all();
        };
    }
    FramePump::EndHandler ends() {
        return [this](const std::string& reason) {
            std::lock_guard lock(mutex_);
            ends_.push_back(reason);
            framesAtEnd_ = frames_.size();
            changed_.notify_all();
        };
    }

    void holdTokens(bool hold) {
        std::lock_guard lock(mutex_);
        holdTokens_ = hold;
        if (!hold) {
            for (auto& f : frames_) {
                f.queued.reset();
            }
        }
    }

    // Waits until `n` frames have come (false after 10 s).
    bool waitFrames(size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return frames_.size() >= n; });
    }
    bool waitEnd() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return !ends_.empty(); });
    }

    size_t count() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }
    // The newest frame; waits for the first one.
    CapturedFrame last() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return !frames_.empty(); });
        return frames_.back();
    }
    std::vector<CapturedFrame> all() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    std::vector<std::string> endReasons() {
        std::lock_guard lock(mutex_);
        return ends_;
    }
    size_t framesAtEnd() {
        std::lock_guard lock(mutex_);
        return framesAtEnd_;
    }

    // Keeps only the newest frame, so long runs do not hold every picture.
    void trim() {
        std::lock_guard lock(mutex_);
        if (frames_.size() > 1) {
            frames_.erase(frames_.begin(), frames_.end() - 1);
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CapturedFrame> frames_;
    std::vector<std::string> ends_;
    size_t framesAtEnd_ = 0;
    bool holdTokens_ = false;
};

uint32_t rgbAt(const Picture& p, uint32_t x, uint32_t y) {
    const uint8_t* px = p.row(y) + size_t{x} * 4;
    return uint32_t{px[2]} << 16 | uint32_t{px[1]} << 8 | px[0];
}

uint8_t alphaAt(const Picture& p, uint32_t x, uint32_t y) {
    return p.row(y)[size_t{x} * 4 + 3];
}

std::string hex(uint32_t rgb) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%06x", rgb);
    return buf;
}

class X11Capture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<XvfbServer>(kScreenWidth, kScreenHeight);
        painter_ = std::make_unique<Painter>(server_->display());
        painter_->quadrants();
    }
    static void TearDownTestSuite() {
        painter_.reset();
        server_.reset();
    }

    static std::string display() { return server_->display(); }

    static std::string screenMonitor() {
        std::string error;
        auto conn = Connection::open(display(), error);
        return listMonitors(*conn).front().name;
    }

    std::unique_ptr<FramePump> displayPump(const std::string& monitor, uint32_t w, uint32_t h,
                                           Collector& sink) {
        std::string error;
        auto source = openDisplaySource(display(), monitor, error);
        EXPECT_NE(source, nullptr) << error;
        if (!source) {
            return nullptr;
        }
        auto pump = std::make_unique<FramePump>(std::move(source), FramePump::Settings{w, h},
                                                sink.frames(), sink.ends());
        EXPECT_TRUE(pump->start(error)) << error;
        return pump;
    }

    int runXrandr(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"xrandr", "-display", display()};
        argv.insert(argv.end(), args.begin(), args.end());
        return testing::runToEnd(argv);
    }

    static std::unique_ptr<XvfbServer> server_;
    static std::unique_ptr<Painter> painter_;
};

std::unique_ptr<XvfbServer> X11Capture::server_;
std::unique_ptr<Painter> X11Capture::painter_;

// ---- display capture ------------------------------------------------------------------------

struct SizeCase {
    uint32_t width, height;
    const char* path;  // which drawing path the size exercises
};

class DisplaySizes : public X11Capture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DisplaySizes, FramesHaveTheConfiguredSizeAndTheScreensColours) {
    const SizeCase c = GetParam();
    Collector sink;
    auto pump = displayPump(screenMonitor(), c.width, c.height, sink);
    ASSERT_TRUE(sink.waitFrames(3));
    pump->stop();
    const CapturedFrame frame = sink.last();
    const Picture& p = *frame.picture;
    ASSERT_EQ(p.width(), c.width);
    ASSERT_EQ(p.height(), c.height);
    EXPECT_EQ(hex(rgbAt(p, c.width / 4, c.height / 4)), hex(kRed));
    EXPECT_EQ(hex(rgbAt(p, c.width * 3 / 4, c.height / 4)), hex(kGreen));
    EXPECT_EQ(hex(rgbAt(p, c.width / 4, c.height * 3 / 4)), hex(kBlue));
    EXPECT_EQ(hex(rgbAt(p, c.width * 3 / 4, c.height * 3 / 4)), hex(kWhite));
    // The corners too: a scaler that shifts or crops the picture fails here.
    EXPECT_EQ(hex(rgbAt(p, 0, 0)), hex(kRed));
    EXPECT_EQ(hex(rgbAt(p, c.width - 1, c.height - 1)), hex(kWhite));
    EXPECT_EQ(alphaAt(p, c.width / 2, c.height / 2), 0xff);
    EXPECT_GT(frame.time.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, DisplaySizes,
                         ::testing::Values(SizeCase{1280, 720, "copy"}, SizeCase{640, 360, "half"},
                                           SizeCase{854, 480, "swscale"}),
                         [](const auto& info) { return std::string(info.param.path); });

TEST_F(X11Capture, LetterboxedFramesKeepTheScreensShapeWithBlackBars) {
    Collector sink;
    auto pump = displayPump(screenMonitor(), 500, 500, sink);
    ASSERT_TRUE(sink.waitFrames(2));
    pump->stop();
    const Picture& p = *sink.last().picture;
    // 1280x720 in 500x500 is 500x280 (281 made even), bars of 110 above and below.
    EXPECT_EQ(hex(rgbAt(p, 250, 50)), hex(kBlack));
    EXPECT_EQ(hex(rgbAt(p, 250, 450)), hex(kBlack));
    EXPECT_EQ(hex(rgbAt(p, 125, 180)), hex(kRed));
    EXPECT_EQ(hex(rgbAt(p, 375, 320)), hex(kWhite));
}

TEST_F(X11Capture, FramesComeNoFasterThanThirtyASecondWithRisingTimes) {
    Collector sink;
    const auto begin = std::chrono::steady_clock::now();
    auto pump = displayPump(screenMonitor(), 640, 360, sink);
    std::this_thread::sleep_for(2500ms);
    pump->stop();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const auto frames = sink.all();
    EXPECT_LE(frames.size(), static_cast<size_t>(seconds * 30) + 1);
    EXPECT_GE(frames.size(), static_cast<size_t>(seconds * 10)) << "the capture hardly ran";
    // Never two frames within one interval, also after a late one: no bursts.
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GE(frames[i].time - frames[i - 1].time,
                  std::chrono::nanoseconds(1'000'000'000 / 30));
    }
}

TEST_F(X11Capture, ChangesOnScreenShowInLaterFrames) {
    const xcb_window_t patch = painter_->fill(600, 300, 80, 80, kRed);
    Collector sink;
    auto pump = displayPump(screenMonitor(), kScreenWidth, kScreenHeight, sink);
    ASSERT_TRUE(sink.waitFrames(1));
    EXPECT_EQ(hex(rgbAt(*sink.last().picture, 640, 340)), hex(kRed));
    painter_->recolour(patch, 0x123456);
    EXPECT_TRUE(pollUntil(
        [&] {
            sink.trim();
            return rgbAt(*sink.last().picture, 640, 340) == 0x123456;
        },
        5s));
    pump->stop();
    painter_->destroy(patch);
}

TEST_F(X11Capture, AConsumerThatFallsBehindGetsNoNewFramesUntilItCatchesUp) {
    Collector sink;
    sink.holdTokens(true);
    auto pump = displayPump(screenMonitor(), 640, 360, sink);
    ASSERT_TRUE(sink.waitFrames(5));
    // With five frames unhandled, the pump skips instead of queueing more.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sink.count(), 5u);
    EXPECT_GT(pump->counters().droppedBusy, 0u);
    sink.holdTokens(false);
    EXPECT_TRUE(sink.waitFrames(8));
    pump->stop();
}

// ---- monitors -------------------------------------------------------------------------------

TEST_F(X11Capture, FakeMonitorsAreListedPrimaryFirstAndCaptureOnlyTheirRectangle) {
    ASSERT_EQ(runXrandr({"--setmonitor", "LEFT", "640/169x720/190+0+0", "none"}), 0);
    ASSERT_EQ(runXrandr({"--setmonitor", "*RIGHT", "640/169x720/190+640+0", "none"}), 0);
    std::string error;
    auto conn = Connection::open(display(), error);
    const std::vector<Monitor> monitors = listMonitors(*conn);
    ASSERT_GE(monitors.size(), 2u);
    EXPECT_EQ(monitors[0].name, "RIGHT");
    EXPECT_TRUE(monitors[0].primary);
    EXPECT_EQ(monitors[0].rect, (Rect{640, 0, 640, 720}));

    Collector sink;
    auto pump = displayPump("RIGHT", 640, 720, sink);
    ASSERT_TRUE(sink.waitFrames(2));
    const Picture& p = *sink.last().picture;
    EXPECT_EQ(hex(rgbAt(p, 10, 10)), hex(kGreen));
    EXPECT_EQ(hex(rgbAt(p, 630, 710)), hex(kWhite));

    // Unplugging the monitor ends the capture by itself.
    ASSERT_EQ(runXrandr({"--delmonitor", "RIGHT"}), 0);
    ASSERT_TRUE(sink.waitEnd());
    EXPECT_EQ(sink.endReasons().front(), "The shared display \"RIGHT\" is no longer connected.");
    pump->stop();
    runXrandr({"--delmonitor", "LEFT"});

    EXPECT_EQ(openDisplaySource(display(), "RIGHT", error), nullptr);
    EXPECT_EQ(error, "The display \"RIGHT\" is no longer connected.");
}

// ---- application capture --------------------------------------------------------------------

// A real X client in its own process, so that its exit is a real client going away.
class TestWindow {
  public:
    TestWindow(const std::string& display, const std::string& title, uint32_t rgb,
               const std::string& geometry)
        : process_(
              {SKYLARK_TEST_WINDOW, "--title", title, "--color", hex(rgb), "--geometry", geometry},
              {{"DISPLAY=" + display}, false}) {
        const std::string line = process_.readLine(10s);
        if (line.rfind("ready ", 0) == 0) {
            id_ = static_cast<xcb_window_t>(std::stoul(line.substr(6)));
        }
    }
    xcb_window_t id() const { return id_; }
    void command(const std::string& line) {
        process_.writeLine(line);
        process_.readLine(5s);
    }
    void exit() { process_.stop(SIGTERM); }

  private:
    ChildProcess process_;
    xcb_window_t id_ = XCB_WINDOW_NONE;
};

TEST_F(X11Capture, ApplicationWindowsAreListedByClassAndTitle) {
    TestWindow editor(display(), "notes.txt - Editor", kBlue, "200x100+10+10");
    TestWindow player(display(), "Player", kGreen, "200x100+300+10");
    ASSERT_NE(editor.id(), XCB_WINDOW_NONE);
    std::string error;
    auto conn = Connection::open(display(), error);

    // No window manager runs, so the list comes from the top-level windows with WM_CLASS.
    std::vector<AppWindow> windows = listApplicationWindows(*conn, player.id());
    auto found = std::find_if(windows.begin(), windows.end(),
                              [&](const AppWindow& w) { return w.id == editor.id(); });
    ASSERT_NE(found, windows.end());
    EXPECT_EQ(found->className, "SkylarkTest");
    EXPECT_EQ(found->title, "notes.txt - Editor");
    EXPECT_EQ(found->width, 200u);
    EXPECT_EQ(found->height, 100u);
    EXPECT_TRUE(std::none_of(windows.begin(), windows.end(), [&](const AppWindow& w) {
        return w.id == player.id();
    })) << "the excluded window is listed";
    // Override-redirect pop-ups (the painter's quadrants) are not applications.
    EXPECT_EQ(windows.size(), 1u);

    // A window manager's client list wins over the window tree.
    const xcb_window_t listed = player.id();
    xcb_change_property(conn->get(), XCB_PROP_MODE_REPLACE, conn->root(),
                        conn->atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 32, 1, &listed);
    windows = listApplicationWindows(*conn);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].title, "Player");
    xcb_delete_property(conn->get(), conn->root(), conn->atom("_NET_CLIENT_LIST"));
    xcb_flush(conn->get());
}

TEST_F(X11Capture, ApplicationCaptureShowsItsOwnPixelsFollowsItsSizeAndEndsWithIt) {
    TestWindow app(display(), "Sharing me", kBlue, "320x240+100+100");
    ASSERT_NE(app.id(), XCB_WINDOW_NONE);
    std::string error;
    auto source = openWindowSource(display(), app.id(), error);
    ASSERT_NE(source, nullptr) << error;
    Collector sink;
    FramePump pump(std::move(source), {320, 240}, sink.frames(), sink.ends());
    ASSERT_TRUE(pump.start(error)) << error;

    // Another window on top does not show: the capture reads the window's own pixmap.
    const xcb_window_t cover = painter_->fill(100, 100, 320, 240, kRed);
    app.command("color 00ff00");
    EXPECT_TRUE(pollUntil(
        [&] {
            sink.trim();
            return rgbAt(*sink.last().picture, 160, 120) == kGreen;
        },
        5s));
    EXPECT_EQ(hex(rgbAt(*sink.last().picture, 0, 0)), hex(kGreen));
    painter_->destroy(cover);

    // Twice as wide: the same frame size, the window fitted in with bars above and below.
    app.command("resize 640 240");
    EXPECT_TRUE(pollUntil(
        [&] {
            sink.trim();
            const Picture& p = *sink.last().picture;
            return rgbAt(p, 160, 10) == kBlack && rgbAt(p, 160, 120) == kGreen;
        },
        5s));
    EXPECT_EQ(sink.last().picture->width(), 320u);
    EXPECT_EQ(sink.last().picture->height(), 240u);

    app.exit();
    ASSERT_TRUE(sink.waitEnd());
    EXPECT_EQ(sink.endReasons(), std::vector<std::string>{"The application's window went away."});
    const size_t atEnd = sink.framesAtEnd();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink.count(), atEnd) << "frames after the end";
    pump.stop();
}

}  // namespace
}  // namespace skylark::x11
