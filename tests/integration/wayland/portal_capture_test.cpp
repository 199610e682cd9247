// The portal's picker and the PipeWire stream against the real xdg-desktop-portal, PipeWire and
// WirePlumber on a private bus, all started here and ended by PID, with either sway and
// xdg-desktop-portal-wlr or a stand-in compositor backend behind the portal (see
// wayland_session.hpp for why both).

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "common/serial_queue.hpp"
#include "platform/pipewire/pipewire_capture_stream.hpp"
#include "platform/desktop_capture.hpp"
#include "platform/portal/portal_content_filter.hpp"
#include "platform/portal/portal_content_picker.hpp"
#include "support/desktop_services.hpp"
#include "wayland_session.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::PortalDesktop;
using testing::PrivateBus;
using testing::TempDir;

constexpr std::uint32_t kBackground = 0x3366cc;  // sway's solid background, as RGB

QCoreApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "portal_capture_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the Qt event loop (where the picker reports) until `ready` holds.
template <class Predicate>
bool pumpUntil(Predicate ready, std::chrono::milliseconds timeout) {
    return testing::pollUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return ready();
        },
        timeout);
}

class Outcomes : public ContentPickerObserver {
  public:
    void contentSharingPickerDidUpdate(ContentPicker&,
                                       std::shared_ptr<const ContentFilter> filter) override {
        std::lock_guard lock(mutex_);
        selections.push_back(std::move(filter));
    }
    void contentSharingPickerDidCancel(ContentPicker&) override {
        std::lock_guard lock(mutex_);
        ++cancels;
    }
    void contentSharingPickerStartDidFail(const Error& error) override {
        std::lock_guard lock(mutex_);
        failures.push_back(error);
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return selections.size() + static_cast<size_t>(cancels) + failures.size();
    }

    std::vector<std::shared_ptr<const ContentFilter>> selections;
    int cancels = 0;
    std::vector<Error> failures;

  private:
    std::mutex mutex_;
};

// Presents `picker` once and waits for its one outcome.
void presentOnce(ContentPicker& picker, const std::shared_ptr<Outcomes>& outcomes) {
    const size_t before = outcomes->count();
    picker.present();
    ASSERT_TRUE(pumpUntil([&] { return outcomes->count() > before; }, 20s))
        << "the picker reported nothing";
}

std::shared_ptr<ContentPicker> activePicker(const std::string& bus,
                                            const std::shared_ptr<Outcomes>& outcomes) {
    std::shared_ptr<ContentPicker> picker = makePortalContentPicker({bus});
    picker->addObserver(outcomes);
    ContentPickerConfiguration configuration;
    configuration.allowedPickerModes = PickerMode::singleDisplay | PickerMode::singleApplication;
    configuration.allowsChangingSelectedContent = false;
    picker->setDefaultConfiguration(configuration);
    picker->setActive(true);
    return picker;
}

struct Frame {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t centre = 0;  // 0xAARRGGBB
    std::uint32_t corner = 0;
    MediaTime time;
};

class Sink : public CaptureStreamOutput, public CaptureStreamDelegate {
  public:
    void streamDidOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override {
        std::lock_guard lock(mutex_);
        if (type == StreamOutputType::audio) {
            audioBuffers += sample.audioBuffer ? 1 : 0;
            return;
        }
        if (!sample.imageBuffer || !sample.attachments || sample.attachments->empty() ||
            sample.attachments->front().status != 0) {
            ++incomplete;
            return;
        }
        const ImageBuffer& image = *sample.imageBuffer;
        auto pixel = [&](int x, int y) {
            const std::uint8_t* p = image.pixels.get() + y * image.bytesPerRow + x * 4;
            return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                   std::uint32_t(p[1]) << 8 | p[0];
        };
        frames.push_back({image.width, image.height, pixel(image.width / 2, image.height / 2),
                          pixel(0, 0), sample.presentationTimeStamp});
    }
    void streamDidStopWithError(CaptureStream&, const Error& error) override {
        std::lock_guard lock(mutex_);
        stopErrors.push_back(error);
    }
    template <class F>
    auto read(F f) {
        std::lock_guard lock(mutex_);
        return f();
    }

    std::vector<Frame> frames;
    int incomplete = 0;
    int audioBuffers = 0;
    std::vector<Error> stopErrors;

  private:
    std::mutex mutex_;
};

// A completion the test can wait for.
struct Completion {
    std::shared_ptr<std::optional<std::optional<Error>>> result =
        std::make_shared<std::optional<std::optional<Error>>>();
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();

    CaptureCompletion callback() const {
        return [result = result, mutex = mutex](std::optional<Error> error) {
            std::lock_guard lock(*mutex);
            *result = std::move(error);
        };
    }
    std::optional<std::optional<Error>> wait(std::chrono::milliseconds timeout) const {
        std::optional<std::optional<Error>> out;
        testing::pollUntil(
            [&] {
                std::lock_guard lock(*mutex);
                out = *result;
                return out.has_value();
            },
            timeout);
        return out;
    }
};

bool near(std::uint32_t argb, std::uint32_t rgb) {
    auto channel = [](std::uint32_t v, int shift) { return int((v >> shift) & 0xff); };
    for (int shift : {0, 8, 16}) {
        if (std::abs(channel(argb, shift) - channel(rgb, shift)) > 2) {
            return false;
        }
    }
    return (argb >> 24) == 0xff;
}

StreamConfiguration configuration(std::int64_t width, std::int64_t height, bool audio) {
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.minimumFrameInterval = MediaTime::make(1, 30);
    c.queueDepth = 5;
    c.capturesAudio = audio;
    c.excludesCurrentProcessAudio = true;
    return c;
}

class QuietTrace : public Trace {
  public:
    void trace(std::string_view) override {}
};

// One running capture of a filter, as the caster drives it.
struct Cast {
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.video");
    std::shared_ptr<CaptureStream> stream;

    // Starts and waits for the start's completion; an error fails the test.
    void start(std::shared_ptr<const ContentFilter> filter, const StreamConfiguration& c,
               std::string audioServer = {}) {
        PipeWireCaptureOptions options;
        options.audioServer = std::move(audioServer);
        options.trace = std::make_shared<QuietTrace>();
        CaptureStreamResult made = makePipeWireCaptureStreamFactory(options)(filter, c, sink);
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CaptureStream>>(made));
        stream = std::get<std::shared_ptr<CaptureStream>>(made);
        ASSERT_FALSE(stream->addStreamOutput(sink, StreamOutputType::screen, queue));
        ASSERT_FALSE(stream->addStreamOutput(sink, StreamOutputType::audio, queue));
        Completion started;
        stream->startCapture(started.callback());
        auto result = started.wait(15s);
        ASSERT_TRUE(result.has_value()) << "the start never completed";
        ASSERT_FALSE(result->has_value()) << (*result)->localizedDescription();
    }

    size_t frames() {
        return sink->read([&] { return sink->frames.size(); });
    }

    // Waits until `count` more frames than now have come.
    void waitFrames(size_t count) {
        const size_t target = frames() + count;
        ASSERT_TRUE(testing::pollUntil([&] { return frames() >= target; }, 10s))
            << "only " << frames() << " frames came";
    }

    void stop() {
        Completion stopped;
        stream->stopCapture(stopped.callback());
        ASSERT_TRUE(stopped.wait(10s).has_value());
        stream.reset();
        queue->flush();
    }
};

template <PortalDesktop::Backend kBackend>
class DesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        qtApplication();
        std::string missing;
        if (!testing::portalDesktopInstalled(kBackend, missing)) {
            skipReason_ = "not installed: " + missing;
            return;
        }
        desktop_ = std::make_unique<PortalDesktop>(kBackend, kBackground);
    }
    static void TearDownTestSuite() { desktop_.reset(); }
    void SetUp() override {
        if (!skipReason_.empty()) {
            GTEST_SKIP() << "The desktop cannot run here: " << skipReason_;
        }
        desktop().choose(PortalDesktop::kOutputName);
    }

    static PortalDesktop& desktop() { return *desktop_; }

    static std::shared_ptr<const PortalContentFilter> pick(ContentPicker& picker,
                                                           const std::shared_ptr<Outcomes>& o) {
        presentOnce(picker, o);
        EXPECT_TRUE(o->failures.empty())
            << (o->failures.empty() ? "" : o->failures.back().localizedDescription());
        if (o->selections.empty()) {
            return nullptr;
        }
        return std::dynamic_pointer_cast<const PortalContentFilter>(o->selections.back());
    }

    static inline std::unique_ptr<PortalDesktop> desktop_;
    static inline std::string skipReason_;
};

using StandInPortalTest = DesktopTest<PortalDesktop::Backend::standIn>;
using SwayPortalTest = DesktopTest<PortalDesktop::Backend::sway>;

// ---- Behind a stand-in compositor backend ----------------------------------------------------

TEST_F(StandInPortalTest, ChosenOutputIsStreamedAtTheConfiguredSizeAndStopReleasesTheSession) {
    testing::PulseServer pulse;
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    struct Row {
        const char* answer;
        int width;
        int height;
    };
    // An output in R, G, B order (B, G, R is the other tests' and X11's) through each way of
    // drawing: half size (the 2x2 average), another shape (the general scaler, with bars), and
    // the same size (a copy).
    const std::initializer_list<Row> rows = {
        {"HEADLESS-1 rgb", 320, 240}, {"HEADLESS-1 rgb", 500, 300}, {"HEADLESS-1 rgb", 640, 480}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.answer) + " at " + std::to_string(row.width) + "x" +
                     std::to_string(row.height));
        desktop().choose(row.answer);
        std::shared_ptr<const PortalContentFilter> filter = pick(*picker, outcomes);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(filter->kind(), PortalContentFilter::Kind::display);
        EXPECT_EQ(filter->contentRect().width, PortalDesktop::kWidth);
        EXPECT_EQ(filter->contentRect().height, PortalDesktop::kHeight);
        EXPECT_EQ(filter->pointPixelScale(), 1.0f);
        const std::string session = filter->session().path().toStdString();

        // System audio is the same PulseAudio capture as on X11: checked once.
        const bool audio = &row == rows.begin();
        Cast cast;
        cast.start(filter, configuration(row.width, row.height, audio), pulse.address());
        const size_t first = cast.frames();
        cast.waitFrames(10);
        if (audio) {
            ASSERT_TRUE(testing::pollUntil(
                [&] { return cast.sink->read([&] { return cast.sink->audioBuffers; }) > 0; }, 10s))
                << "no system audio arrived";
        }
        cast.sink->read([&] {
            for (size_t i = first; i < cast.sink->frames.size(); ++i) {
                const Frame& f = cast.sink->frames[i];
                EXPECT_EQ(f.width, row.width);
                EXPECT_EQ(f.height, row.height);
                EXPECT_TRUE(near(f.centre, kBackground)) << std::hex << f.centre;
                if (i > 0) {
                    EXPECT_GT(compare(f.time, cast.sink->frames[i - 1].time), 0);
                }
            }
            // With bars the corner is black; without, it is the desktop.
            const Frame& last = cast.sink->frames.back();
            EXPECT_TRUE(row.width == 500 ? near(last.corner, 0) : near(last.corner, kBackground))
                << std::hex << last.corner;
            EXPECT_EQ(cast.sink->incomplete, 0);
            return 0;
        });

        cast.stop();
        EXPECT_TRUE(cast.sink->read([&] { return cast.sink->stopErrors.empty(); }));
        EXPECT_TRUE(pumpUntil([&] { return !desktop().sessionExists(session); }, 10s))
            << "the portal session was not released";
        EXPECT_TRUE(pumpUntil([&] { return desktop().backendSessions() == 0; }, 10s));
        filter.reset();
    }
}

TEST_F(StandInPortalTest, StillScreenKeepsTheStreamGoingWithTheLastPicture) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    desktop().choose("HEADLESS-1 still");
    std::shared_ptr<const PortalContentFilter> filter = pick(*picker, outcomes);
    ASSERT_NE(filter, nullptr);
    Cast cast;
    cast.start(filter, configuration(320, 240, false));
    // The desktop sends three frames and then none; the stream goes on regardless.
    cast.waitFrames(20);
    cast.sink->read([&] {
        for (const Frame& f : cast.sink->frames) {
            EXPECT_TRUE(near(f.centre, kBackground)) << std::hex << f.centre;
        }
        return 0;
    });
    cast.stop();
}

TEST_F(StandInPortalTest, UndamagedAndCorruptedBuffersNeverBecomeFrames) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    desktop().choose("HEADLESS-1 damage");
    std::shared_ptr<const PortalContentFilter> filter = pick(*picker, outcomes);
    ASSERT_NE(filter, nullptr);
    Cast cast;
    cast.start(filter, configuration(640, 480, false));
    // After its first frames the desktop sends only red buffers without damage and green ones
    // marked corrupted.
    cast.waitFrames(30);
    cast.sink->read([&] {
        for (const Frame& f : cast.sink->frames) {
            EXPECT_TRUE(near(f.centre, kBackground)) << std::hex << f.centre;
            EXPECT_TRUE(near(f.corner, kBackground)) << std::hex << f.corner;
        }
        return 0;
    });
    cast.stop();
}

TEST_F(StandInPortalTest, DesktopRevokingTheSessionEndsTheStreamByItself) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    std::shared_ptr<const PortalContentFilter> filter = pick(*picker, outcomes);
    ASSERT_NE(filter, nullptr);
    Cast cast;
    cast.start(filter, configuration(320, 240, false));
    cast.waitFrames(3);

    desktop().revoke();
    ASSERT_TRUE(testing::pollUntil(
        [&] { return cast.sink->read([&] { return !cast.sink->stopErrors.empty(); }); }, 10s))
        << "the stream did not notice that its node went away";
    cast.sink->read([&] {
        EXPECT_EQ(cast.sink->stopErrors.size(), 1u);
        EXPECT_EQ(cast.sink->stopErrors.front().domain, kPipeWireErrorDomain);
        EXPECT_EQ(cast.sink->stopErrors.front().code, kPipeWireContentEnded);
        return 0;
    });
    // Nothing more is delivered after the end, and stopping still completes.
    cast.queue->flush();
    const size_t frames = cast.frames();
    cast.stop();
    EXPECT_EQ(cast.frames(), frames);
    EXPECT_EQ(cast.sink->read([&] { return cast.sink->stopErrors.size(); }), 1u);
}

TEST_F(StandInPortalTest, SecondCastOfARunIsRestoredWithoutTheDialog) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    std::shared_ptr<const PortalContentFilter> filter = pick(*picker, outcomes);
    ASSERT_NE(filter, nullptr);
    // A selection that nobody casts (the caster ignores it while busy) gives its session back.
    filter.reset();
    outcomes->selections.clear();
    EXPECT_TRUE(pumpUntil([&] { return desktop().backendSessions() == 0; }, 10s));

    // The dialog would now decline; the restore token answers instead.
    desktop().choose("");
    presentOnce(*picker, outcomes);
    EXPECT_EQ(outcomes->cancels, 0);
    ASSERT_EQ(outcomes->selections.size(), 1u);
    EXPECT_EQ(outcomes->selections.front()->contentRect().width, PortalDesktop::kWidth);

    // Another picker (another run) has no token: the dialog is asked, and declines.
    auto others = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> fresh = activePicker(desktop().busAddress(), others);
    presentOnce(*fresh, others);
    EXPECT_EQ(others->cancels, 1);
}

TEST_F(StandInPortalTest, WaylandSessionChoosesThePortalAndItsStreams) {
    auto outcomes = std::make_shared<Outcomes>();
    DesktopCaptureOptions options;
    options.portal.busAddress = desktop().busAddress();
    options.trace = std::make_shared<QuietTrace>();
    options.getenv = [](const char* name) -> const char* {
        return std::string(name) == "WAYLAND_DISPLAY" ? "wayland-1" : nullptr;
    };
    DesktopCapture capture = makeDesktopCapture(options);
    capture.picker->addObserver(outcomes);
    capture.picker->setActive(true);
    presentOnce(*capture.picker, outcomes);
    ASSERT_EQ(outcomes->selections.size(), 1u);
    CaptureStreamResult made = capture.makeStream(
        outcomes->selections.front(), configuration(64, 48, false), std::make_shared<Sink>());
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CaptureStream>>(made));
}

// ---- Behind sway and xdg-desktop-portal-wlr --------------------------------------------------

TEST_F(SwayPortalTest, DecliningInTheDialogIsACancellation) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    desktop().choose("");
    presentOnce(*picker, outcomes);
    EXPECT_EQ(outcomes->cancels, 1);
    EXPECT_TRUE(outcomes->selections.empty());
    EXPECT_TRUE(outcomes->failures.empty())
        << (outcomes->failures.empty() ? "" : outcomes->failures.back().localizedDescription());
}

TEST_F(SwayPortalTest, ChosenOutputShowsSwaysBackground) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(desktop().busAddress(), outcomes);
    std::string why;
    if (!testing::wlrPortalCanCast(why)) {
        // The cast is refused at its start; the user is told so rather than left waiting.
        presentOnce(*picker, outcomes);
        ASSERT_EQ(outcomes->failures.size(), 1u);
        EXPECT_EQ(outcomes->failures.front().localizedDescription(),
                  "Screen sharing is not available on this desktop: the desktop refused the "
                  "request.");
        GTEST_SKIP() << "Frames from sway cannot be checked here: " << why;
    }
    std::shared_ptr<const PortalContentFilter> filter = pick(*picker, outcomes);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->contentRect().width, PortalDesktop::kWidth);
    EXPECT_EQ(filter->contentRect().height, PortalDesktop::kHeight);
    const std::string session = filter->session().path().toStdString();
    Cast cast;
    cast.start(filter, configuration(320, 240, false));
    cast.waitFrames(10);
    cast.sink->read([&] {
        const Frame& f = cast.sink->frames.back();
        EXPECT_EQ(f.width, 320);
        EXPECT_EQ(f.height, 240);
        EXPECT_TRUE(near(f.centre, kBackground)) << std::hex << f.centre;
        return 0;
    });
    cast.stop();
    EXPECT_TRUE(pumpUntil([&] { return !desktop().sessionExists(session); }, 10s));
}

// ---- Without the desktop ---------------------------------------------------------------------

std::string failureOf(const std::string& bus) {
    auto outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<ContentPicker> picker = activePicker(bus, outcomes);
    presentOnce(*picker, outcomes);
    EXPECT_EQ(outcomes->failures.size(), 1u);
    return outcomes->failures.empty() ? "" : outcomes->failures.front().localizedDescription();
}

TEST(PortalUnavailableTest, EachMissingPieceIsNamedInTheFailure) {
    qtApplication();
    TempDir runtime("skylark-nobus-");
    PrivateBus bus(runtime.path());
    EXPECT_EQ(failureOf(bus.address()),
              "Screen sharing is not available on this desktop: the desktop portal "
              "(xdg-desktop-portal) is not running.");

    // The portal itself, but no backend that can cast this desktop.
    testing::ChildProcess portal(
        {"/usr/libexec/xdg-desktop-portal"},
        testing::ChildProcess::Options{
            {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "XDG_RUNTIME_DIR=" + runtime.path(),
             "HOME=" + runtime.path(), "XDG_CURRENT_DESKTOP=none", "WAYLAND_DISPLAY="}});
    ASSERT_TRUE(testing::pollUntil(
        [&] { return !portal.running() || bus.hasOwner("org.freedesktop.portal.Desktop"); }, 15s));
    ASSERT_TRUE(portal.running());
    EXPECT_EQ(failureOf(bus.address()),
              "Screen sharing is not available on this desktop: the desktop portal cannot share "
              "the screen; it needs the portal backend of this desktop (such as "
              "xdg-desktop-portal-gnome, -kde or -wlr).");

    // No bus at all.
    EXPECT_EQ(failureOf("unix:path=" + runtime.path() + "/no-such-bus"),
              "Screen sharing is not available on this desktop: there is no D-Bus session bus "
              "to reach the desktop portal on.");
}

TEST(PortalUnavailableTest, WaylandWithoutPortalOrVisibleX11DesktopFails) {
    qtApplication();
    TempDir runtime("skylark-nobus-");
    PrivateBus bus(runtime.path());
    auto outcomes = std::make_shared<Outcomes>();
    DesktopCaptureOptions options;
    options.portal.busAddress = bus.address();
    options.x11Display = ":999";  // no X server there
    options.trace = std::make_shared<QuietTrace>();
    options.getenv = [](const char* name) -> const char* {
        return std::string(name) == "XDG_SESSION_TYPE" ? "wayland" : nullptr;
    };
    DesktopCapture capture = makeDesktopCapture(options);
    capture.picker->addObserver(outcomes);
    capture.picker->setActive(true);
    presentOnce(*capture.picker, outcomes);
    ASSERT_EQ(outcomes->failures.size(), 1u);
    EXPECT_EQ(outcomes->failures.front().localizedDescription(),
              "Screen sharing is not available on this desktop: the desktop portal "
              "(xdg-desktop-portal) is not running.");
}

TEST(PortalUnavailableTest, AnXServerThatIsNotXwaylandSeesTheDesktop) {
    testing::XvfbServer xvfb(320, 240);
    std::string why;
    EXPECT_TRUE(x11SeesDesktop(xvfb.display(), why)) << why;
    EXPECT_FALSE(x11SeesDesktop(":999", why));
    EXPECT_NE(why.find(":999"), std::string::npos) << why;
}

}  // namespace
}  // namespace skylark
