// The X11 capture stream as the caster drives it, against Xvfb and a PulseAudio null sink
// started here: colours painted by real X clients read back at the configured size, a window
// followed until its client exits, clear start failures, and nothing left running afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <deque>
#include <filesystem>
#include <thread>

#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_content_filter.hpp"
#include "support/capture_recorder.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::CaptureRecorder;
using testing::castConfiguration;
using testing::ChildProcess;

constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff;

CaptureStreamFactory x11Streams(std::string audioServer = {}) {
    X11CaptureOptions options;
    options.audioServer = std::move(audioServer);
    options.trace = std::make_shared<testing::QuietTrace>();
    return makeX11CaptureStreamFactory(options);
}

// A window of a real X client in its own process, so that its exit is a client going away.
struct TestWindow {
    TestWindow(const std::string& display, uint32_t rgb, const std::string& geometry,
               bool overrideRedirect = false)
        : process({SKYLARK_TEST_WINDOW, "--title", "Slides", "--color", hex(rgb), "--geometry",
                   geometry, "--override-redirect", overrideRedirect ? "1" : "0"},
                  {{"DISPLAY=" + display}}) {
        const std::string ready = process.readLine(10s);
        id = ready.rfind("ready ", 0) == 0 ? std::stoul(ready.substr(6)) : 0;
    }
    void command(const std::string& line) {
        process.writeLine(line);
        process.readLine(5s);
    }
    static std::string hex(uint32_t rgb) {
        char text[8];
        std::snprintf(text, sizeof text, "%06x", rgb);
        return text;
    }
    ChildProcess process;
    xcb_window_t id = 0;
};

class X11CaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = std::make_unique<testing::XvfbServer>(1280, 720);
        pulse_ = std::make_unique<testing::PulseServer>();
        // Four quadrants: red, green / blue, white.
        const std::pair<uint32_t, const char*> quadrants[] = {
            {kRed, "+0+0"}, {kGreen, "+640+0"}, {kBlue, "+0+360"}, {kWhite, "+640+360"}};
        for (const auto& [rgb, at] : quadrants) {
            quadrants_.emplace_back(xvfb_->display(), rgb, std::string("640x360") + at, true);
        }
    }
    static void TearDownTestSuite() {
        quadrants_.clear();
        pulse_.reset();
        xvfb_.reset();
    }

    static std::shared_ptr<const X11ContentFilter> screen() {
        return X11ContentFilter::forDisplay(xvfb_->display(),
                                            x11::Monitor{"screen", {0, 0, 1280, 720}, true});
    }
    std::shared_ptr<CaptureStream> start(std::shared_ptr<const ContentFilter> filter,
                                         const StreamConfiguration& c,
                                         std::shared_ptr<Executor> queue = nullptr) {
        std::optional<Error> error;
        auto stream = testing::startRecording(x11Streams(pulse_->address()), std::move(filter), c,
                                              recorder_, queue ? queue : queue_, error);
        EXPECT_FALSE(error) << error->fullDescription();
        return stream;
    }
    void stop(CaptureStream& stream) {
        EXPECT_FALSE(testing::await([&](auto done) { stream.stopCapture(done); }));
        queue_->flush();
    }

    std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("test.capture");
    std::shared_ptr<CaptureRecorder> recorder_ = std::make_shared<CaptureRecorder>(queue_);
    static inline std::unique_ptr<testing::XvfbServer> xvfb_;
    static inline std::unique_ptr<testing::PulseServer> pulse_;
    static inline std::deque<TestWindow> quadrants_;
};

TEST_F(X11CaptureTest, DisplayFramesHaveTheConfiguredSizeAndTheScreensColours) {
    struct Row {
        int width, height, bar;  // bar: black rows above and below the fitted screen
    } const rows[] = {{1280, 720, 0}, {640, 360, 0}, {854, 480, 0}, {500, 500, 110}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        recorder_ = std::make_shared<CaptureRecorder>(queue_);
        auto stream = start(screen(), castConfiguration(r.width, r.height, false));
        ASSERT_TRUE(recorder_->waitFor(true, 3));
        stop(*stream);
        const testing::Delivery last = recorder_->lastVideo();
        EXPECT_EQ(last.width, r.width);
        EXPECT_EQ(last.height, r.height);
        const int w = r.width, top = r.bar, h = r.height - 2 * r.bar;
        // Quadrant centres and the picture's corners: a shifted or cropped picture fails here.
        EXPECT_EQ(recorder_->rgbAt(w / 4, top + h / 4), kRed);
        EXPECT_EQ(recorder_->rgbAt(w * 3 / 4, top + h / 4), kGreen);
        EXPECT_EQ(recorder_->rgbAt(w / 4, top + h * 3 / 4), kBlue);
        EXPECT_EQ(recorder_->rgbAt(w * 3 / 4, top + h * 3 / 4), kWhite);
        EXPECT_EQ(recorder_->rgbAt(0, top), kRed);
        EXPECT_EQ(recorder_->rgbAt(w - 1, top + h - 1), kWhite);
        if (r.bar > 0) {
            EXPECT_EQ(recorder_->rgbAt(w / 2, r.bar / 2), 0u);
            EXPECT_EQ(recorder_->rgbAt(w / 2, r.height - r.bar / 2), 0u);
        }
    }
}

TEST_F(X11CaptureTest, FramesAndSystemAudioComeOnTheQueueOnOneClockAndEndWithTheStop) {
    auto stream = start(screen(), castConfiguration(320, 180, true));
    ASSERT_TRUE(recorder_->waitFor(true, 10));
    ASSERT_TRUE(recorder_->waitFor(false, 30));
    stop(*stream);
    const auto seen = recorder_->seen();
    for (const testing::Delivery& d : seen) {
        EXPECT_TRUE(d.onQueue);
        // Both kinds are stamped on the monotonic clock, about when they were handled.
        EXPECT_NEAR(d.seconds, d.arrival, 0.5) << (d.video ? "video" : "audio");
    }
    std::this_thread::sleep_for(150ms);
    queue_->flush();
    EXPECT_EQ(recorder_->seen().size(), seen.size()) << "deliveries after the stop";
}

TEST_F(X11CaptureTest, AnApplicationIsFollowedThroughCoverAndResizeUntilItsClientExits) {
    TestWindow app(xvfb_->display(), kBlue, "320x240+100+100");
    ASSERT_NE(app.id, 0u);
    auto stream = start(X11ContentFilter::forApplication(xvfb_->display(),
                                                         x11::AppWindow{app.id, "", "", 320, 240}),
                        castConfiguration(320, 240, true));
    // Another window on top does not show: the capture reads the window's own pixels.
    TestWindow cover(xvfb_->display(), kRed, "320x240+100+100", true);
    app.command("color 00ff00");
    EXPECT_TRUE(testing::pollUntil([&] { return recorder_->rgbAt(160, 120) == kGreen; }, 5s));
    // Twice as wide: the same frame size, the window fitted in with bars above and below.
    app.command("resize 640 240");
    EXPECT_TRUE(testing::pollUntil(
        [&] { return recorder_->rgbAt(160, 10) == 0 && recorder_->rgbAt(160, 120) == kGreen; },
        5s));
    EXPECT_EQ(recorder_->lastVideo().width, 320);

    app.process.stop(SIGTERM);
    ASSERT_TRUE(recorder_->waitEnd());
    queue_->flush();
    const size_t atEnd = recorder_->seen().size();
    std::this_thread::sleep_for(200ms);
    queue_->flush();
    EXPECT_EQ(recorder_->seen().size(), atEnd) << "deliveries after the end, audio included";
    stop(*stream);
    stop(*stream);
    ASSERT_EQ(recorder_->ends().size(), 1u) << "stopping reported another end";
    EXPECT_EQ(recorder_->ends()[0].code, kX11ContentEnded);
    EXPECT_EQ(recorder_->ends()[0].localizedDescription(), "The application's window went away.");
}

TEST_F(X11CaptureTest, StartFailuresSayWhatIsMissing) {
    struct Row {
        std::shared_ptr<const X11ContentFilter> filter;
        int width;
        const char* text;
    } const rows[] = {
        {X11ContentFilter::forDisplay(xvfb_->display(), x11::Monitor{"HDMI-9", {0, 0, 9, 9}}), 320,
         "The display \"HDMI-9\" is no longer connected."},
        {X11ContentFilter::forDisplay(":7999", x11::Monitor{"screen", {}, true}), 320,
         "Cannot connect to the X display \":7999\". Is the X server running, and may this user "
         "open it?"},
        {X11ContentFilter::forApplication(xvfb_->display(), x11::AppWindow{0x7ffff01, "", ""}), 320,
         "The application's window is no longer there."},
        {screen(), 0, "The capture size 0x180 is not supported."},
    };
    for (const Row& r : rows) {
        std::optional<Error> error;
        auto stream =
            testing::startRecording(x11Streams(), r.filter, castConfiguration(r.width, 180, false),
                                    recorder_, queue_, error);
        ASSERT_TRUE(error) << r.text;
        EXPECT_EQ(error->localizedDescription(), r.text);
        EXPECT_EQ(error->domain, kX11ErrorDomain);
        ASSERT_TRUE(stream);
        stop(*stream);
    }
}

TEST_F(X11CaptureTest, AConsumerFiveFramesBehindGetsNoMoreUntilItCatchesUp) {
    class HeldQueue : public Executor {
      public:
        void post(std::function<void()> work) override {
            std::lock_guard lock(mutex);
            items.push_back(std::move(work));
        }
        size_t runAll() {
            std::deque<std::function<void()>> run;
            std::lock_guard lock(mutex);
            run.swap(items);
            for (auto& work : run) {
                work();
            }
            return run.size();
        }
        std::mutex mutex;
        std::deque<std::function<void()>> items;
    };
    auto held = std::make_shared<HeldQueue>();
    auto queued = [&] {
        std::lock_guard lock(held->mutex);
        return held->items.size();
    };
    auto stream = start(screen(), castConfiguration(320, 180, false), held);
    ASSERT_TRUE(testing::pollUntil([&] { return queued() >= 5; }, 10s));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(held->runAll(), 5u);
    EXPECT_TRUE(testing::pollUntil([&] { return queued() >= 3; }, 10s)) << "none after catching up";
    EXPECT_FALSE(testing::await([&](auto done) { stream->stopCapture(done); }));
    EXPECT_LE(held->runAll(), 5u);
}

TEST_F(X11CaptureTest, StartStopCyclesLeaveNoThreadsAndNoLateDeliveries) {
    auto threads = [] {
        auto it = std::filesystem::directory_iterator("/proc/self/task");
        return std::distance(begin(it), end(it));
    };
    const auto before = threads();
    for (int cycle = 0; cycle < 6; ++cycle) {
        auto stream = start(screen(), castConfiguration(320, 180, true));
        // Every other cycle stops at once, before the first delivery can have been handled.
        if (cycle % 2 == 1) {
            ASSERT_TRUE(recorder_->waitFor(true, size_t(cycle)));
        }
        stop(*stream);
        const size_t after = recorder_->seen().size();
        stream.reset();
        queue_->flush();
        EXPECT_EQ(recorder_->seen().size(), after) << "cycle " << cycle;
    }
    EXPECT_TRUE(testing::pollUntil([&] { return threads() == before; }, 5s));
    EXPECT_TRUE(recorder_->ends().empty());
}

TEST(X11CaptureServerLoss, ALostXServerEndsTheStreamAndStopStillCompletes) {
    testing::XvfbServer xvfb(640, 480);
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto recorder = std::make_shared<CaptureRecorder>(queue);
    std::optional<Error> error;
    auto stream = testing::startRecording(
        x11Streams(),
        X11ContentFilter::forDisplay(xvfb.display(), x11::Monitor{"screen", {}, true}),
        castConfiguration(320, 240, false), recorder, queue, error);
    ASSERT_FALSE(error);
    ASSERT_TRUE(recorder->waitFor(true, 2));
    xvfb.kill();
    ASSERT_TRUE(recorder->waitEnd());
    EXPECT_EQ(recorder->ends()[0].localizedDescription(),
              "The connection to the X server was lost.");
    EXPECT_FALSE(testing::await([&](auto done) { stream->stopCapture(done); }));
}

}  // namespace
}  // namespace skylark
