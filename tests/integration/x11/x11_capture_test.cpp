// The X11 capture stream as the caster drives it, against Xvfb and a PulseAudio null sink
// started here: colours painted by real X clients read back at the configured size, a window
// followed until its client exits, clear start failures, and nothing left running afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <deque>
#include <filesystem>

#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_content_filter.hpp"
#include "support/capture_recorder.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::castConfiguration;

constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff;

// A window of a real X client in its own process, so that its exit is a client going away.
struct TestWindow {
    TestWindow(const std::string& display, const char* rgb, const std::string& geometry,
               const char* overrideRedirect = "0")
        : process({SKYLARK_TEST_WINDOW, "--color", rgb, "--geometry", geometry,
                   "--override-redirect", overrideRedirect},
                  {{"DISPLAY=" + display}}),
          id(std::stoul(process.readLine(10s).substr(6))) {}  // "ready <id>"
    // Another client repaints it, as the application would itself.
    void recolour(const std::string& display, uint32_t rgb) {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        xcb_change_window_attributes(c, id, XCB_CW_BACK_PIXEL, &rgb);
        xcb_clear_area(c, 0, id, 0, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        xcb_disconnect(c);
    }
    testing::ChildProcess process;
    xcb_window_t id;
};

class X11CaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = std::make_unique<testing::XvfbServer>(1280, 720);
        pulse_ = std::make_unique<testing::PulseServer>();
        for (const auto& [rgb, at] :
             {std::pair{"ff0000", "+0+0"}, std::pair{"00ff00", "+640+0"},
              std::pair{"0000ff", "+0+360"}, std::pair{"ffffff", "+640+360"}}) {
            windows_.emplace_back(xvfb_->display(), rgb, std::string("640x360") + at, "1");
        }
    }
    static void TearDownTestSuite() {
        windows_.clear();
        pulse_.reset();
        xvfb_.reset();
    }

    std::shared_ptr<CaptureStream> start(std::shared_ptr<const ContentFilter> filter, int width,
                                         int height, bool audio) {
        X11CaptureOptions options;
        options.audioServer = pulse_->address();
        options.trace = std::make_shared<testing::QuietTrace>();
        recorder_ = std::make_shared<testing::CaptureRecorder>(queue_);
        std::optional<Error> error;
        auto stream = testing::startRecording(
            makeX11CaptureStreamFactory(options), std::move(filter),
            castConfiguration(width, height, audio), recorder_, queue_, error);
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

TEST_F(X11CaptureTest, DisplayFramesHaveTheConfiguredSizeAndTheScreensColours) {
    struct Row {
        int width, height, bar;  // bar: black rows above and below the fitted screen
    } const rows[] = {{1280, 720, 0}, {640, 360, 0}, {854, 480, 0}, {500, 500, 110}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        auto stream = start(screen(), r.width, r.height, false);
        ASSERT_TRUE(recorder_->waitFor(true, 3));
        stop(*stream);
        EXPECT_EQ(recorder_->width(), r.width);
        // Quadrant centres and the corners: a shifted, cropped or mixed-up picture fails here.
        const int w = r.width, top = r.bar, h = r.height - 2 * r.bar;
        EXPECT_EQ(recorder_->rgbAt(w / 4, top + h / 4), kRed);
        EXPECT_EQ(recorder_->rgbAt(w * 3 / 4, top + h / 4), kGreen);
        EXPECT_EQ(recorder_->rgbAt(w / 4, top + h * 3 / 4), kBlue);
        EXPECT_EQ(recorder_->rgbAt(w * 3 / 4, top + h * 3 / 4), kWhite);
        EXPECT_EQ(recorder_->rgbAt(0, top), kRed);
        EXPECT_EQ(recorder_->rgbAt(w - 1, top + h - 1), kWhite);
        EXPECT_EQ(recorder_->rgbAt(w * 3 / 4, r.height - 1 - r.bar / 2), r.bar ? 0 : kWhite);
    }
}

TEST_F(X11CaptureTest, AnApplicationIsFollowedThroughCoverAndResizeUntilItsClientExits) {
    TestWindow app(xvfb_->display(), "0000ff", "320x240+100+100");
    auto stream =
        start(X11ContentFilter::forApplication(xvfb_->display(), {app.id, "", "", 320, 240}), 320,
              240, true);
    // Another window on top does not show: the capture reads the window's own pixels.
    TestWindow cover(xvfb_->display(), "ff0000", "320x240+100+100", "1");
    app.recolour(xvfb_->display(), kGreen);
    EXPECT_TRUE(testing::pollUntil([&] { return recorder_->rgbAt(160, 120) == kGreen; }, 5s));
    // Twice as wide: the same frame size, the window fitted in with bars above and below.
    testing::runToEnd({"xdotool", "windowsize", std::to_string(app.id), "640", "240"},
                      {"DISPLAY=" + xvfb_->display()});
    EXPECT_TRUE(testing::pollUntil(
        [&] { return recorder_->rgbAt(160, 10) == 0 && recorder_->rgbAt(160, 120) == kGreen; },
        5s));
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

TEST_F(X11CaptureTest, CyclesDeliverOnTheQueueOnOneClockAndLeaveNoThreadsOrLateDeliveries) {
    auto threads = [] {
        auto it = std::filesystem::directory_iterator("/proc/self/task");
        return std::distance(begin(it), end(it));
    };
    const auto before = threads();
    for (int cycle = 0; cycle < 6; ++cycle) {
        auto stream = start(screen(), 320, 180, true);
        // Every other cycle stops at once, before the first delivery can have been handled.
        ASSERT_TRUE(cycle % 2 == 0 ||
                    (recorder_->waitFor(true, 3) && recorder_->waitFor(false, 3)));
        stop(*stream);
        const auto seen = recorder_->seen();
        stream.reset();
        std::this_thread::sleep_for(50ms);
        queue_->flush();
        EXPECT_EQ(recorder_->seen().size(), seen.size()) << "cycle " << cycle;
        EXPECT_TRUE(recorder_->ends().empty());
        for (const testing::Delivery& d : seen) {
            EXPECT_TRUE(d.onQueue);
            // Both kinds are stamped on the monotonic clock, about when they were handled.
            EXPECT_NEAR(d.seconds, d.arrival, 0.5) << (d.video ? "video" : "audio");
        }
    }
    EXPECT_TRUE(testing::pollUntil([&] { return threads() == before; }, 5s));
}

}  // namespace
}  // namespace skylark
