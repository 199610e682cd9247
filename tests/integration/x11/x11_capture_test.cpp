// X11 capture as the caster drives it, against Xvfb and a PulseAudio null sink started here:
// colours painted by real X clients read back at the configured size, a window followed until
// its client exits, and the picker dialog driven with real key presses (xdotool).
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QDialog>

#include <deque>
#include <filesystem>
#include <optional>

#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_content_filter.hpp"
#include "platform/x11/x11_content_picker.hpp"
#include "support/capture_recorder.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff;

// A window of a real X client in its own process, so that its exit is a client going away.
struct TestWindow {
    TestWindow(const char* rgb, const std::string& geometry, const char* overrideRedirect = "0")
        : process({SKYLARK_TEST_WINDOW, rgb, geometry, overrideRedirect}, {}),
          id(std::stoul(process.readLine(10s).substr(6))) {}  // "ready <id>"
    testing::ChildProcess process;
    xcb_window_t id;
};

// Whether any pixel within 3 of (x, y) differs from `background`: the pointer drawn there.
bool pointerAt(testing::CaptureRecorder& r, int x, int y, uint32_t background) {
    for (int i = 0; i < 49; ++i) {
        if (!r.shows(x + i % 7 - 3, y + i / 7 - 3, background)) {
            return true;
        }
    }
    return false;
}

bool pumpUntil(const std::function<bool()>& done) {
    return testing::pollUntil([&] { return QCoreApplication::processEvents(), done(); }, 10s);
}

// Whether the X server sends key presses to `dialog` (Qt's idea of the focus may come first).
bool hasKeyboard(QDialog* dialog) {
    testing::ChildProcess focus({"xdotool", "getwindowfocus"}, {});
    return dialog && dialog->isVisible() && QApplication::focusWidget() &&
           focus.readLine(5s) == std::to_string(dialog->winId());
}

class X11CaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = std::make_unique<testing::XvfbServer>(1280, 720);
        setenv("DISPLAY", xvfb_->display().c_str(), 1);  // for X clients and the picker
        pulse_ = std::make_unique<testing::PulseServer>();
        for (const auto& [rgb, at] :
             {std::pair{"ff0000", "+0+0"}, std::pair{"00ff00", "+640+0"},
              std::pair{"0000ff", "+0+360"}, std::pair{"ffffff", "+640+360"}}) {
            windows_.emplace_back(rgb, std::string("640x360") + at, "1");
        }
    }

    std::shared_ptr<CaptureStream> start(std::shared_ptr<const ContentFilter> filter, int width,
                                         int height, bool audio) {
        X11CaptureOptions options;
        options.audioServer = pulse_->address();
        options.trace = std::make_shared<testing::QuietTrace>();
        recorder_ = std::make_shared<testing::CaptureRecorder>(queue_);
        std::optional<Error> error;
        auto stream = recorder_->start(makeX11CaptureStreamFactory(options), std::move(filter),
                                       width, height, audio, error);
        EXPECT_FALSE(error) << error->fullDescription();
        return stream;
    }
    void stop(CaptureStream& stream) {
        EXPECT_FALSE(testing::await([&](auto done) { stream.stopCapture(done); }));
        queue_->flush();
    }
    static std::shared_ptr<const X11ContentFilter> screen() {
        return X11ContentFilter::forDisplay(xvfb_->display(), {"screen", {0, 0, 1280, 720}, true});
    }

    std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("test.capture");
    std::shared_ptr<testing::CaptureRecorder> recorder_;
    static inline std::unique_ptr<testing::XvfbServer> xvfb_;
    static inline std::unique_ptr<testing::PulseServer> pulse_;
    static inline std::deque<TestWindow> windows_;
};

TEST_F(X11CaptureTest, DisplayCastsHaveTheConfiguredSizeAndColoursAndEndCleanlyWithTheStop) {
    auto threads = [] {
        auto it = std::filesystem::directory_iterator("/proc/self/task");
        return std::distance(begin(it), end(it));
    };
    const auto threadsBefore = threads();
    struct Row {
        int width, height, bar;  // bar: black rows above and below the fitted screen
    } const rows[] = {{1280, 720, 0}, {640, 360, 0}, {854, 480, 0}, {500, 500, 110}};
    ASSERT_EQ(testing::runToEnd({"xdotool", "mousemove", "200", "100"}), 0);
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        auto stream = start(screen(), r.width, r.height, true);
        ASSERT_TRUE(recorder_->waitFor(true, 3) && recorder_->waitFor(false, 3));
        stop(*stream);
        const auto seen = recorder_->seen();
        stream.reset();
        std::this_thread::sleep_for(50ms);
        queue_->flush();
        EXPECT_EQ(recorder_->seen().size(), seen.size()) << "deliveries after the stop";
        for (const testing::Delivery& d : seen) {
            EXPECT_TRUE(d.onQueue);
            // Both kinds are stamped on the monotonic clock, about when they were handled.
            EXPECT_NEAR(d.seconds, d.arrival, 0.5) << (d.video ? "video" : "audio");
        }
        EXPECT_EQ(recorder_->width(), r.width);
        // Quadrant centres and the corners: a shifted, cropped or mixed-up picture fails here.
        const int w = r.width, top = r.bar, h = r.height - 2 * r.bar;
        EXPECT_TRUE(recorder_->shows(w / 4, top + h / 4, kRed));
        EXPECT_TRUE(recorder_->shows(w * 3 / 4, top + h / 4, kGreen));
        EXPECT_TRUE(recorder_->shows(w / 4, top + h * 3 / 4, kBlue));
        EXPECT_TRUE(recorder_->shows(w * 3 / 4, top + h * 3 / 4, kWhite));
        EXPECT_TRUE(recorder_->shows(0, top, kRed));
        EXPECT_TRUE(recorder_->shows(w - 1, top + h - 1, kWhite));
        EXPECT_TRUE(recorder_->shows(w * 3 / 4, r.height - 1 - r.bar / 2, r.bar ? 0 : kWhite));
        // The pointer where it was moved, scaled with the picture, its hot spot honoured.
        const int px = 200 * w / 1280, py = top + 100 * h / 720;
        EXPECT_TRUE(pointerAt(*recorder_, px, py, kRed));
        EXPECT_FALSE(pointerAt(*recorder_, px + 14, py, kRed));
    }
    EXPECT_TRUE(testing::pollUntil([&] { return threads() == threadsBefore; }, 5s));
}

TEST_F(X11CaptureTest, FramesFollowWhatChangesOnScreenAndKeepTheRestAsItWas) {
    ASSERT_EQ(testing::runToEnd({"xdotool", "mousemove", "200", "100"}), 0);
    auto stream = start(screen(), 1280, 720, false);
    std::optional<TestWindow> patch;
    const auto moveAway = [] { testing::runToEnd({"xdotool", "mousemove", "400", "100"}); };
    struct Row {
        const char* step;
        std::function<void()> act;
        uint32_t patchColour;  // at the patch's centre, rows 501 to 564
    } const rows[] = {
        {"pointer moved", moveAway, kBlue},
        {"window opened", [&] { patch.emplace("00ff00", "64x64+300+501", "1"); }, kGreen},
        {"window closed", [&] { patch.reset(); }, kBlue},
        {"nothing", [] {}, kBlue},
    };
    // Rows above, beside and below the patch, which stay as they were.
    const std::tuple<int, int, uint32_t> kept[] = {{332, 490, kBlue},  {250, 532, kBlue},
                                                   {320, 180, kRed},   {960, 180, kGreen},
                                                   {960, 540, kWhite}, {332, 600, kBlue}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.step);
        r.act();
        EXPECT_TRUE(
            testing::pollUntil([&] { return recorder_->shows(332, 532, r.patchColour); }, 5s));
        ASSERT_TRUE(recorder_->waitFor(true, recorder_->seen().size() + 15));
        for (auto [x, y, rgb] : kept) {
            EXPECT_TRUE(recorder_->shows(x, y, rgb)) << x << "," << y;
        }
        // The pointer only where it is, its old place restored.
        EXPECT_TRUE(pointerAt(*recorder_, 400, 100, kRed));
        EXPECT_FALSE(pointerAt(*recorder_, 200, 100, kRed));
    }
    // A still screen goes out as the same picture again (a full grab about once a second aside).
    const auto seen = recorder_->seen();
    int changes = 0;
    for (size_t i = seen.size() - 15; i + 1 < seen.size(); ++i) {
        changes += seen[i].picture != seen[i + 1].picture;
    }
    EXPECT_LE(changes, 1);
    stop(*stream);
}

TEST_F(X11CaptureTest, AnApplicationIsFollowedThroughCoverAndResizeUntilItsClientExits) {
    TestWindow app("0000ff", "320x240+100+100");
    auto stream =
        start(X11ContentFilter::forApplication(xvfb_->display(), {app.id, "", "", 320, 240}), 320,
              240, true);
    // Another window on top does not show: the capture reads the window's own pixels.
    TestWindow cover("ff0000", "320x240+100+100", "1");
    // Just off the window's edge the pointer is left out, though its image would reach in.
    ASSERT_EQ(testing::runToEnd({"xdotool", "mousemove", "95", "220"}), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(recorder_->shows(160, 120, kBlue));
    EXPECT_FALSE(pointerAt(*recorder_, 3, 120, kBlue));
    // Over the window (even where covered) the pointer is drawn at its place in the window.
    ASSERT_EQ(testing::runToEnd({"xdotool", "mousemove", "260", "220"}), 0);
    EXPECT_TRUE(testing::pollUntil([&] { return pointerAt(*recorder_, 160, 120, kBlue); }, 5s));
    // Twice as wide: the same frame size, the window fitted in with bars above and below.
    testing::runToEnd({"xdotool", "windowsize", std::to_string(app.id), "640", "240"});
    EXPECT_TRUE(testing::pollUntil(
        [&] { return recorder_->shows(160, 10, 0) && recorder_->shows(160, 120, kBlue); }, 5s));
    EXPECT_EQ(recorder_->width(), 320);

    app.process.stop(SIGTERM);
    ASSERT_TRUE(recorder_->waitEnd());
    queue_->flush();
    const size_t atEnd = recorder_->seen().size();
    std::this_thread::sleep_for(200ms);
    stop(*stream);
    stop(*stream);
    EXPECT_EQ(recorder_->seen().size(), atEnd) << "deliveries after the end, audio included";
    ASSERT_EQ(recorder_->ends().size(), 1u) << "stopping reported another end";
    EXPECT_EQ(recorder_->ends()[0].code, kX11ContentEnded);
    EXPECT_EQ(recorder_->ends()[0].localizedDescription(), "The application's window went away.");
}

TEST_F(X11CaptureTest, ThePickerSharesADisplayOrAnApplicationOrCancelsOnRealKeys) {
    testing::TempDir runtime("skylark-picker-run-");
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int argc = 1;
    char name[] = "x11_capture_test", *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    TestWindow window("3366cc", "500x400+20+20");
    struct Row {
        std::string keys;
        std::string outcome;
        xcb_window_t window;  // 0: a display
        int width, height;
        std::string display = {};  // empty: DISPLAY
    } const rows[] = {
        {"Return", "selected", 0, 1280, 720},              // the primary display comes first
        {"Down Return", "selected", window.id, 500, 400},  // past the heading
        {"Escape", "cancelled", 0, 0, 0},
        {"", "failed: Cannot connect to the X display \":7999\".", 0, 0, 0, ":7999"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.outcome);
        auto outcomes = std::make_shared<testing::PickerOutcomes>();
        std::shared_ptr<X11ContentPicker> picker = makeX11ContentPicker(r.display);
        outcomes->presenting = true;
        picker->present({}, outcomes);
        outcomes->presenting = false;
        if (!r.keys.empty()) {
            ASSERT_TRUE(pumpUntil([&] { return hasKeyboard(picker->dialog()); }));
            ASSERT_EQ(testing::runToEnd({"sh", "-c", "xdotool key --delay 30 " + r.keys}), 0);
        }
        ASSERT_TRUE(pumpUntil([&] { return !outcomes->seen.empty(); }));
        ASSERT_EQ(outcomes->seen.size(), 1u);
        EXPECT_EQ(outcomes->seen[0].rfind(r.outcome, 0), 0u) << outcomes->seen[0];
        EXPECT_TRUE(outcomes->wellReported);
        EXPECT_TRUE(pumpUntil([&] { return picker->dialog() == nullptr; }));
        if (auto f = std::dynamic_pointer_cast<const X11ContentFilter>(outcomes->filter)) {
            const bool app = f->kind() == X11ContentFilter::Kind::application;
            EXPECT_EQ(app ? f->window().id : 0, r.window);
            EXPECT_EQ(f->contentRect().width, r.width);
            EXPECT_EQ(f->contentRect().height, r.height);
        }
    }
}

}  // namespace
}  // namespace skylark
