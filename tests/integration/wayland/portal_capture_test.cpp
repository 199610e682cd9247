// The portal's picker and the PipeWire stream against GNOME's own compositor (mutter, headless)
// and portal backend, the dialog answered with injected clicks and keys, a window of #3366cc
// filling the monitor; every program is started here and ended by its PID.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "platform/capture/desktop_capture.hpp"
#include "platform/pipewire/pipewire_capture_stream.hpp"
#include "support/capture_recorder.hpp"
#include "support/desktop_services.hpp"
#include "support/gnome_desktop.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::GnomeDesktop;

// Presents the portal's picker as the caster does, acting in its dialog every half second
// until the picker reports its one outcome.
std::shared_ptr<testing::PickerOutcomes> present(testing::PortalDesktop& desktop,
                                                 const std::function<void()>& inDialog) {
    testing::startQtApplication();
    DesktopCaptureOptions options;
    options.portal.busAddress = desktop.session().busAddress();
    options.x11Display = ":999";  // no X server there
    options.trace = std::make_shared<testing::QuietTrace>();
    options.getenv = [](const char* name) -> const char* {
        return std::string(name) == "XDG_SESSION_TYPE" ? "wayland" : nullptr;
    };
    std::shared_ptr<ContentPicker> picker = makeDesktopCapture(options).picker;
    auto outcomes = std::make_shared<testing::PickerOutcomes>();
    picker->present({}, outcomes);
    int polls = 0;  // one every 20 ms
    EXPECT_TRUE(testing::pollUntil(
        [&] {
            QCoreApplication::processEvents();
            return (polls++ % 25 == 0 ? inDialog() : void()), !outcomes->seen.empty();
        },
        30s));
    return outcomes;
}

struct Row {
    int width, height;
    bool bars, audio, revoke;
};

// The person cancels the dialog once, then shares the monitor, `width` wide, for each row:
// the pictures show the window of #3366cc filling it, and a small one that opens and closes,
// until the share ends.
void castsTheMonitor(testing::PortalDesktop& desktop, int width,
                     const std::function<void()>& cancel, std::initializer_list<Row> rows) {
    std::vector<std::string> env = desktop.clientEnv();
    env.insert(env.end(), {"QT_QPA_PLATFORM=wayland", "QT_WAYLAND_DISABLE_WINDOWDECORATION=1"});
    testing::ChildProcess colour({SKYLARK_TEST_COLOUR_WINDOW}, {env});
    const int ownStreams = desktop.castStreams();
    EXPECT_EQ(present(desktop, cancel)->seen, std::vector<std::string>{"cancelled"});
    testing::PulseServer pulse;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        auto filter = present(desktop, [&] { desktop.share(); })->filter;
        ASSERT_TRUE(filter);
        EXPECT_EQ(filter->contentRect().width, width);
        PipeWireCaptureOptions options;
        options.audioServer = pulse.address();
        options.trace = std::make_shared<testing::QuietTrace>();
        auto queue = std::make_shared<SerialQueue>("test.video");
        auto recorder = std::make_shared<testing::CaptureRecorder>(queue);
        std::optional<Error> error;
        auto stream = recorder->start(makePipeWireCaptureStreamFactory(options), std::move(filter),
                                      r.width, r.height, r.audio, error);
        ASSERT_FALSE(error) << error->fullDescription();
        ASSERT_TRUE(recorder->waitFor(true, 1));
        EXPECT_TRUE(!r.audio || recorder->waitFor(false, 10)) << "no system audio";
        EXPECT_TRUE(testing::pollUntil(
            [&] { return recorder->shows(r.width / 2, r.height / 2, 0x3366cc); }, 10s));
        EXPECT_TRUE(recorder->shows(0, 0, r.bars ? 0 : 0x3366cc));
        EXPECT_EQ(recorder->width(), r.width);
        // A small window opens and closes: both reach the pictures. It is looked for on a grid,
        // as mutter 43 places it at the top left and mutter 48 in the middle.
        int x = -1, y = -1;
        auto found = [&] {
            for (y = 8; y < r.height; y += 16) {
                for (x = 8; x < r.width; x += 16) {
                    if (recorder->shows(x, y, 0xcc3333)) {
                        return true;
                    }
                }
            }
            return false;
        };
        testing::ChildProcess other({SKYLARK_TEST_COLOUR_WINDOW, "cc3333"}, {env});
        EXPECT_TRUE(testing::pollUntil(found, 10s));
        other.stop(SIGTERM);
        EXPECT_TRUE(testing::pollUntil([&] { return recorder->shows(x, y, 0x3366cc); }, 10s))
            << x << "," << y << " shows " << std::hex << recorder->rgbAt(x, y);
        if (r.revoke) {
            desktop.endPortalBackend();  // the compositor ends the share it had started for it
            ASSERT_TRUE(recorder->waitEnd()) << "the stream did not notice that its node went away";
            EXPECT_EQ(recorder->ends()[0].code, kPipeWireContentEnded);
            queue->flush();
        }
        const size_t atStop = recorder->seen().size();
        EXPECT_FALSE(testing::await([&](auto done) { stream->stopCapture(done); }));
        EXPECT_EQ(recorder->ends().size(), r.revoke ? 1u : 0u);
        EXPECT_TRUE(!r.revoke || recorder->seen().size() == atStop) << "frames after the end";
        stream.reset();
        EXPECT_TRUE(testing::pollUntil([&] { return desktop.castStreams() == ownStreams; }, 15s))
            << "the desktop still shares the screen";
    }
}

TEST(PortalCapture, TheDialogCancelsOrSharesTheMonitorStreamedAtTheConfiguredSizeUntilItEnds) {
    if (const std::string why = GnomeDesktop::missing(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    GnomeDesktop desktop(640, 480);
    // The person picks the monitor, then closes the dialog with Escape.
    castsTheMonitor(desktop, 640,
                    [&] { desktop.click(530, 266), desktop.keys({testing::kEscapeKey}); },
                    {{320, 240, false, true, false},
                     {500, 300, true, false, false},
                     {640, 480, false, false, true}});
    // A screen scaled by 2: the portal gives its size in logical coordinates, the pictures have
    // twice as many pixels each way, and the cast is made from those.
    GnomeDesktop scaled(2560, 1600, 2);
    auto filter = present(scaled, [&] { scaled.share(); })->filter;
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->contentRect().width, 1280);
    EXPECT_EQ(filter->pointPixelScale(), 2.0f);
}

}  // namespace
}  // namespace skylark
