// The X11 capture stream as the caster drives it: created by the factory from a picker filter,
// outputs on a serial queue, start and stop completions, and the end by itself through the
// delegate. Against Xvfb and a PulseAudio null sink started here.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/serial_queue.hpp"
#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_content_filter.hpp"
#include "support/child_process.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PulseServer;
using testing::XvfbServer;

struct Delivered {
    SampleBuffer sample;
    StreamOutputType type;
    std::chrono::nanoseconds arrival;
    bool onQueue;
};

// The caster's side: records samples, checks they come on the queue, and records ends.
class FakeCaster : public CaptureStreamOutput, public CaptureStreamDelegate {
  public:
    explicit FakeCaster(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

    void streamDidOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override {
        const auto arrival = std::chrono::steady_clock::now().time_since_epoch();
        std::lock_guard lock(mutex_);
        // Only the newest picture is kept, so the capture's pool is never exhausted here.
        for (auto& d : delivered_) {
            if (d.sample.imageBuffer && sample.imageBuffer) {
                d.sample.imageBuffer->pixels.reset();
            }
        }
        delivered_.push_back({sample, type, arrival, queue_ && queue_->isCurrent()});
        changed_.notify_all();
    }

    void streamDidStopWithError(CaptureStream&, const Error& error) override {
        std::lock_guard lock(mutex_);
        ends_.push_back(error);
        endOnQueue_ = queue_ && queue_->isCurrent();
        changed_.notify_all();
    }

    size_t count(StreamOutputType type) {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count_if(delivered_.begin(), delivered_.end(),
                                                 [&](auto& d) { return d.type == type; }));
    }
    bool waitFor(StreamOutputType type, size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return std::count_if(delivered_.begin(), delivered_.end(),
                                 [&](auto& d) { return d.type == type; }) >= long(n);
        });
    }
    bool waitEnd() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return !ends_.empty(); });
    }
    std::vector<Delivered> delivered() {
        std::lock_guard lock(mutex_);
        return delivered_;
    }
    std::vector<Error> ends() {
        std::lock_guard lock(mutex_);
        return ends_;
    }
    bool endOnQueue() {
        std::lock_guard lock(mutex_);
        return endOnQueue_;
    }

  private:
    std::shared_ptr<SerialQueue> queue_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivered> delivered_;
    std::vector<Error> ends_;
    bool endOnQueue_ = false;
};

// A queue that only stores work until the test runs it: a consumer that has fallen behind.
class HeldQueue : public Executor {
  public:
    void post(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
    }
    size_t size() {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    void runAll() {
        std::deque<std::function<void()>> items;
        {
            std::lock_guard lock(mutex_);
            items.swap(items_);
        }
        for (auto& work : items) {
            work();
        }
    }

  private:
    std::mutex mutex_;
    std::deque<std::function<void()>> items_;
};

class RecordingTrace : public Trace {
  public:
    void trace(std::string_view message) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(message);
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

StreamConfiguration castConfiguration(std::int64_t width, std::int64_t height) {
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.minimumFrameInterval = MediaTime::make(1, 30);
    c.queueDepth = 5;
    c.pixelFormat = ImageBuffer::kPixelFormatBGRA;
    c.capturesAudio = true;
    c.excludesCurrentProcessAudio = true;
    c.sampleRate = 48000;
    c.channelCount = 2;
    return c;
}

// Runs a start or stop and waits for its completion.
std::optional<Error> await(const std::function<void(CaptureCompletion)>& call) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::optional<Error> result;
    call([&](std::optional<Error> error) {
        std::lock_guard lock(m);
        result = std::move(error);
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, 15s, [&] { return done; })) << "no completion";
    return result;
}

uint32_t rgbAt(const ImageBuffer& image, int x, int y) {
    const uint8_t* p = image.pixels.get() + image.bytesPerRow * y + x * 4;
    return uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

class X11CaptureStreamTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = std::make_unique<XvfbServer>(1280, 720);
        pulse_ = std::make_unique<PulseServer>();
        // A known picture: the whole screen one colour, drawn by a client that stays.
        painter_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{SKYLARK_TEST_WINDOW, "--color", "20a040", "--geometry",
                                     "1280x720+0+0", "--override-redirect", "1"},
            ChildProcess::Options{{"DISPLAY=" + xvfb_->display()}, true});
        ASSERT_EQ(painter_->readLine(10s).rfind("ready", 0), 0u);
    }
    static void TearDownTestSuite() {
        painter_.reset();
        pulse_.reset();
        xvfb_.reset();
    }

    std::shared_ptr<const X11ContentFilter> screenFilter() {
        return X11ContentFilter::forDisplay(xvfb_->display(),
                                            x11::Monitor{"screen", {0, 0, 1280, 720}, true});
    }

    CaptureStreamFactory factory(std::string audioServer = {}) {
        X11CaptureOptions options;
        options.audioServer = audioServer.empty() ? pulse_->address() : audioServer;
        options.trace = trace_;
        return makeX11CaptureStreamFactory(options);
    }

    std::shared_ptr<CaptureStream> make(const std::shared_ptr<const ContentFilter>& filter,
                                        const StreamConfiguration& configuration,
                                        const std::shared_ptr<FakeCaster>& caster,
                                        std::string audioServer = {}) {
        CaptureStreamResult result = factory(audioServer)(filter, configuration, caster);
        if (auto* error = std::get_if<Error>(&result)) {
            ADD_FAILURE() << error->fullDescription();
            return nullptr;
        }
        return std::get<std::shared_ptr<CaptureStream>>(result);
    }

    std::shared_ptr<RecordingTrace> trace_ = std::make_shared<RecordingTrace>();
    static std::unique_ptr<XvfbServer> xvfb_;
    static std::unique_ptr<PulseServer> pulse_;
    static std::unique_ptr<ChildProcess> painter_;
};
std::unique_ptr<XvfbServer> X11CaptureStreamTest::xvfb_;
std::unique_ptr<PulseServer> X11CaptureStreamTest::pulse_;
std::unique_ptr<ChildProcess> X11CaptureStreamTest::painter_;

TEST_F(X11CaptureStreamTest, ADisplayCastDeliversFramesAndAudioOnTheQueueOnOneClock) {
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto caster = std::make_shared<FakeCaster>(queue);
    auto stream = make(screenFilter(), castConfiguration(640, 360), caster);
    ASSERT_TRUE(stream);
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::audio, queue));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    ASSERT_TRUE(caster->waitFor(StreamOutputType::screen, 15));
    ASSERT_TRUE(caster->waitFor(StreamOutputType::audio, 50));
    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));
    queue->flush();
    const auto delivered = caster->delivered();
    std::this_thread::sleep_for(150ms);
    queue->flush();
    EXPECT_EQ(caster->delivered().size(), delivered.size()) << "samples after the stop";

    const ImageBuffer* lastImage = nullptr;
    for (const Delivered& d : delivered) {
        EXPECT_TRUE(d.onQueue);
        EXPECT_TRUE(d.sample.isValid);
        EXPECT_EQ(d.sample.presentationTimeStamp.timescale, 1'000'000'000);
        // Both kinds on the monotonic clock, stamped about when they were handled (how close
        // audio keeps to that clock is the system audio test's business).
        const auto stamped = std::chrono::nanoseconds(d.sample.presentationTimeStamp.value);
        EXPECT_LE(stamped, d.arrival + 500ms);
        EXPECT_LE(d.arrival - stamped, 500ms);
        if (d.type == StreamOutputType::screen) {
            ASSERT_TRUE(d.sample.attachments && d.sample.attachments->size() == 1u);
            EXPECT_EQ(d.sample.attachments->front().status,
                      static_cast<std::int64_t>(FrameStatus::complete));
            ASSERT_TRUE(d.sample.imageBuffer);
            EXPECT_EQ(d.sample.imageBuffer->width, 640);
            EXPECT_EQ(d.sample.imageBuffer->height, 360);
            EXPECT_GE(d.sample.imageBuffer->bytesPerRow, 640 * 4);
            EXPECT_FALSE(d.sample.audioBuffer);
            lastImage = &*d.sample.imageBuffer;
        } else {
            ASSERT_EQ(d.type, StreamOutputType::audio);
            ASSERT_TRUE(d.sample.audioBuffer);
            EXPECT_EQ(d.sample.audioBuffer->sampleRate, 48000);
            EXPECT_EQ(d.sample.audioBuffer->channelCount, 2);
            EXPECT_EQ(d.sample.audioBuffer->frameCount, 480);
            EXPECT_FALSE(d.sample.imageBuffer);
        }
    }
    ASSERT_NE(lastImage, nullptr);
    EXPECT_EQ(rgbAt(*lastImage, 320, 180), 0x20a040u);
    EXPECT_TRUE(trace_->lines().empty());
}

TEST_F(X11CaptureStreamTest, FramesAreSkippedWhileTheQueueIsFiveBehind) {
    auto held = std::make_shared<HeldQueue>();
    auto caster = std::make_shared<FakeCaster>(nullptr);
    StreamConfiguration config = castConfiguration(320, 180);
    config.capturesAudio = false;
    auto stream = make(screenFilter(), config, caster);
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, held));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    ASSERT_TRUE(testing::pollUntil([&] { return held->size() >= 5; }, 10s));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(held->size(), 5u);
    held->runAll();
    EXPECT_TRUE(testing::pollUntil([&] { return held->size() >= 3; }, 10s))
        << "no frames after the queue caught up";
    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));
    const size_t second = held->size();
    EXPECT_LE(second, 5u);
    held->runAll();
    EXPECT_EQ(caster->count(StreamOutputType::screen), 5u + second);
}

TEST_F(X11CaptureStreamTest, AClosedApplicationEndsTheStreamThroughTheDelegate) {
    ChildProcess app({SKYLARK_TEST_WINDOW, "--title", "Slides", "--color", "c03030", "--geometry",
                      "400x300+50+50"},
                     {{"DISPLAY=" + xvfb_->display()}, true});
    const std::string ready = app.readLine(10s);
    ASSERT_EQ(ready.rfind("ready ", 0), 0u);
    x11::AppWindow window;
    window.id = static_cast<xcb_window_t>(std::stoul(ready.substr(6)));
    window.width = 400;
    window.height = 300;
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto caster = std::make_shared<FakeCaster>(queue);
    auto stream = make(X11ContentFilter::forApplication(xvfb_->display(), window),
                       castConfiguration(400, 300), caster);
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::audio, queue));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    ASSERT_TRUE(caster->waitFor(StreamOutputType::screen, 3));

    app.stop(SIGTERM);
    ASSERT_TRUE(caster->waitEnd());
    const std::vector<Error> ends = caster->ends();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].domain, kX11ErrorDomain);
    EXPECT_EQ(ends[0].code, kX11ContentEnded);
    EXPECT_EQ(ends[0].localizedDescription(), "The application's window went away.");
    EXPECT_FALSE(caster->endOnQueue());
    // Nothing more arrives after the end, audio included.
    queue->flush();
    const size_t after = caster->delivered().size();
    std::this_thread::sleep_for(200ms);
    queue->flush();
    EXPECT_EQ(caster->delivered().size(), after);

    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));
    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); })) << "a second stop";
    EXPECT_EQ(caster->ends().size(), 1u) << "stopping reported an end";
}

TEST_F(X11CaptureStreamTest, WithoutASoundServerTheAudioIsSilentAndTracedOnce) {
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto caster = std::make_shared<FakeCaster>(queue);
    auto stream = make(screenFilter(), castConfiguration(320, 180), caster,
                       "unix:/nonexistent/skylark-test/native");
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::audio, queue));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    ASSERT_TRUE(caster->waitFor(StreamOutputType::audio, 30));
    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));
    for (const Delivered& d : caster->delivered()) {
        if (d.type == StreamOutputType::audio) {
            const AudioBuffer& a = *d.sample.audioBuffer;
            EXPECT_TRUE(std::all_of(a.samples.get(), a.samples.get() + a.frameCount * 2,
                                    [](float v) { return v == 0.0f; }));
        }
    }
    ASSERT_EQ(trace_->lines().size(), 1u);
    EXPECT_EQ(trace_->lines()[0].rfind("system audio unavailable (", 0), 0u);
}

TEST_F(X11CaptureStreamTest, StartFailuresAndMisuseAreAnsweredWithClearErrors) {
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto caster = std::make_shared<FakeCaster>(queue);

    struct Case {
        const char* what;
        std::shared_ptr<const X11ContentFilter> filter;
        StreamConfiguration configuration;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"display gone",
         X11ContentFilter::forDisplay(xvfb_->display(),
                                      x11::Monitor{"HDMI-9", {0, 0, 10, 10}, false}),
         castConfiguration(320, 180), "The display \"HDMI-9\" is no longer connected."},
        {"no X server", X11ContentFilter::forDisplay(":7999", x11::Monitor{"screen", {}, true}),
         castConfiguration(320, 180),
         "Cannot connect to the X display \":7999\". Is the X server running, and may this "
         "user open it?"},
        {"window gone",
         X11ContentFilter::forApplication(xvfb_->display(),
                                          x11::AppWindow{0x7ffff01, "", "", 10, 10}),
         castConfiguration(320, 180), "The application's window is no longer there."},
        {"zero size", screenFilter(), castConfiguration(0, 180),
         "The capture size 0x180 is not supported."},
    };
    for (const Case& c : cases) {
        auto stream = make(c.filter, c.configuration, caster);
        ASSERT_TRUE(stream) << c.what;
        ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
        std::optional<Error> error = await([&](auto done) { stream->startCapture(done); });
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->localizedDescription(), c.text) << c.what;
        EXPECT_EQ(error->domain, kX11ErrorDomain);
        EXPECT_FALSE(await([&](auto done) { stream->stopCapture(done); })) << c.what;
    }

    auto stream = make(screenFilter(), castConfiguration(320, 180), caster);
    std::optional<Error> microphone =
        stream->addStreamOutput(caster, StreamOutputType::microphone, queue);
    ASSERT_TRUE(microphone);
    EXPECT_EQ(microphone->localizedDescription(), "This capture has no output of type 2.");
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    std::optional<Error> twice = await([&](auto done) { stream->startCapture(done); });
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->localizedDescription(), "A capture stream cannot be started twice.");
    EXPECT_TRUE(stream->addStreamOutput(caster, StreamOutputType::audio, queue))
        << "an output added while running";
    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));

    class OtherFilter : public ContentFilter {
        ContentSize contentRect() const override { return {100, 100}; }
        float pointPixelScale() const override { return 1; }
    };
    CaptureStreamResult foreign =
        factory()(std::make_shared<OtherFilter>(), castConfiguration(100, 100), caster);
    ASSERT_TRUE(std::holds_alternative<Error>(foreign));
}

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

TEST_F(X11CaptureStreamTest, StartStopCyclesLeaveNoThreadsAndNoLateSamples) {
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto caster = std::make_shared<FakeCaster>(queue);
    const size_t threadsBefore = threadCount();
    for (int cycle = 0; cycle < 6; ++cycle) {
        auto stream = make(screenFilter(), castConfiguration(320, 180), caster);
        ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
        ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::audio, queue));
        ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
        // Every other cycle stops at once, before the first sample can have been handled.
        if (cycle % 2 == 1) {
            ASSERT_TRUE(caster->waitFor(StreamOutputType::screen, size_t(cycle)));
        }
        ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));
        queue->flush();
        const size_t after = caster->delivered().size();
        stream.reset();
        queue->flush();
        EXPECT_EQ(caster->delivered().size(), after) << "cycle " << cycle;
    }
    EXPECT_TRUE(testing::pollUntil([&] { return threadCount() == threadsBefore; }, 5s))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_TRUE(caster->ends().empty());
}

TEST(X11CaptureStreamServerLoss, ALostXServerEndsTheStreamWithItsOwnCode) {
    XvfbServer xvfb(640, 480);
    auto queue = std::make_shared<SerialQueue>("test.capture");
    auto caster = std::make_shared<FakeCaster>(queue);
    StreamConfiguration config = castConfiguration(320, 240);
    config.capturesAudio = false;
    CaptureStreamResult result = makeX11CaptureStreamFactory()(
        X11ContentFilter::forDisplay(xvfb.display(), x11::Monitor{"screen", {}, true}), config,
        caster);
    auto stream = std::get<std::shared_ptr<CaptureStream>>(result);
    ASSERT_FALSE(stream->addStreamOutput(caster, StreamOutputType::screen, queue));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    ASSERT_TRUE(caster->waitFor(StreamOutputType::screen, 2));
    xvfb.kill();
    ASSERT_TRUE(caster->waitEnd());
    EXPECT_EQ(caster->ends()[0].code, kX11ConnectionLost);
    EXPECT_EQ(caster->ends()[0].localizedDescription(), "The connection to the X server was lost.");
    // The caster may drop its last reference to the stream from inside its stop completion.
    std::optional<Error> stopped = await([&](auto done) { stream->stopCapture(done); });
    EXPECT_FALSE(stopped);
    stream.reset();
}

}  // namespace
}  // namespace skylark
