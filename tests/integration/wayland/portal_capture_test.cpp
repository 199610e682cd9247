// The portal's picker and the PipeWire stream against the real xdg-desktop-portal, PipeWire and
// WirePlumber on a private bus, with a stand-in compositor backend behind the portal
// (screencast_backend.cpp); every program is started here and ended by its PID.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <filesystem>
#include <fstream>

#include "platform/desktop_capture.hpp"
#include "platform/pipewire/pipewire_capture_stream.hpp"
#include "support/capture_recorder.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

constexpr const char* kPortal = "/usr/libexec/xdg-desktop-portal";

bool pumpUntil(const std::function<bool()>& done) {
    return testing::pollUntil([&] { return QCoreApplication::processEvents(), done(); }, 15s);
}

// A private session bus that activates nothing, with PipeWire, WirePlumber, the stand-in
// backend showing #3366cc and the real portal on it.
class PortalDesktop {
  public:
    PortalDesktop() {
        const std::string run = root_.path(), portals = run + "/portals";  // private: 0700
        std::filesystem::create_directory(portals);
        std::ofstream(run + "/bus.conf")
            << "<busconfig><type>session</type><listen>" << address_ + run
            << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
               "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
               "own=\"*\"/></policy></busconfig>";
        std::ofstream(portals + "/skylarktest.portal")
            << "[portal]\nDBusName=" << kBackend
            << "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=skylarktest;\n";
        address_ += run + "/bus";
        const std::vector<std::string> env = {
            "XDG_RUNTIME_DIR=" + run, "HOME=" + run, "XDG_CURRENT_DESKTOP=skylarktest",
            "XDG_DESKTOP_PORTAL_DIR=" + portals, "DBUS_SESSION_BUS_ADDRESS=" + address_};
        auto start = [&](std::vector<std::string> argv, const std::function<bool()>& up) {
            processes_.push_back(std::make_unique<ChildProcess>(argv, ChildProcess::Options{env}));
            if (!testing::pollUntil([&] { return !processes_.back()->running() || up(); }, 15s) ||
                !processes_.back()->running()) {
                throw std::runtime_error(argv[0] + " did not start");
            }
        };
        auto owned = [&](const char* name) {
            return [this, name] { return bus().interface()->isServiceRegistered(name).value(); };
        };
        start({"dbus-daemon", "--config-file=" + run + "/bus.conf", "--nofork"},
              [&] { return std::filesystem::exists(run + "/bus"); });
        start({"pipewire"}, [&] { return std::filesystem::exists(run + "/pipewire-0"); });
        // The session manager links streams to nodes; it is ready once its client is there.
        start({"wireplumber"}, [&] {
            return testing::runToEnd(
                       {"sh", "-c", "pw-cli ls Client | grep -q 'WirePlumber \\[export'"}, env) ==
                   0;
        });
        start({SKYLARK_TEST_SCREENCAST_BACKEND}, owned(kBackend));
        start({kPortal}, owned("org.freedesktop.portal.Desktop"));
    }
    QDBusConnection bus() const {
        return QDBusConnection::connectToBus(QString::fromStdString(address_),
                                             QString::fromStdString(address_));
    }
    // Calls the stand-in backend: Choose(share), Sessions() or Revoke().
    template <class... Arguments>
    QVariant backend(const char* method, Arguments... arguments) const {
        return QDBusInterface(kBackend, "/org/freedesktop/portal/desktop",
                              "org.freedesktop.impl.portal.ScreenCast", bus())
            .call(method, arguments...)
            .arguments()
            .value(0);
    }

    // Presents the picker of this desktop as the caster does and waits for its one outcome.
    std::shared_ptr<testing::PickerOutcomes> present() const {
        DesktopCaptureOptions options;
        options.portal.busAddress = address_;
        options.x11Display = ":999";  // no X server there
        options.trace = std::make_shared<testing::QuietTrace>();
        options.getenv = [](const char* name) -> const char* {
            return std::string(name) == "XDG_SESSION_TYPE" ? "wayland" : nullptr;
        };
        std::shared_ptr<ContentPicker> picker = makeDesktopCapture(options).picker;
        auto outcomes = std::make_shared<testing::PickerOutcomes>();
        picker->addObserver(outcomes);
        picker->setActive(true);
        picker->present();
        EXPECT_TRUE(pumpUntil([&] { return !outcomes->seen.empty(); }));
        return outcomes;
    }

  private:
    static constexpr const char* kBackend = "org.freedesktop.impl.portal.desktop.skylarktest";
    testing::TempDir root_{"skylark-wayland-"};
    std::string address_ = "unix:path=";
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

TEST(PortalCapture, TheDialogCancelsOrSharesAnOutputStreamedAtTheConfiguredSizeUntilItEnds) {
    if (!std::filesystem::exists(kPortal)) {
        GTEST_SKIP() << "The desktop cannot run here: xdg-desktop-portal is not installed";
    }
    static int argc = 1;
    static char name[] = "portal_capture_test", *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    PortalDesktop desktop;
    desktop.backend("Choose", false);  // the user declines in the dialog
    EXPECT_EQ(desktop.present()->seen, std::vector<std::string>{"cancelled"});
    desktop.backend("Choose", true);
    testing::PulseServer pulse;
    struct Row {
        int width, height;
        bool bars, audio, revoke;
    } const rows[] = {{320, 240, false, true, false},
                      {500, 300, true, false, false},
                      {640, 480, false, false, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        auto filter = desktop.present()->filter;
        ASSERT_TRUE(filter);
        EXPECT_EQ(filter->contentRect().width, 640);
        PipeWireCaptureOptions options;
        options.audioServer = pulse.address();
        options.trace = std::make_shared<testing::QuietTrace>();
        auto queue = std::make_shared<SerialQueue>("test.video");
        auto recorder = std::make_shared<testing::CaptureRecorder>(queue);
        std::optional<Error> error;
        auto stream = recorder->start(makePipeWireCaptureStreamFactory(options), std::move(filter),
                                      r.width, r.height, r.audio, error);
        ASSERT_FALSE(error) << error->fullDescription();
        // Past the desktop's three good frames, only undamaged or corrupted buffers came.
        ASSERT_TRUE(recorder->waitFor(true, 15));
        EXPECT_TRUE(!r.audio || recorder->waitFor(false, 10)) << "no system audio";
        EXPECT_EQ(recorder->rgbAt(r.width / 2, r.height / 2), 0x3366ccu);
        EXPECT_EQ(recorder->rgbAt(0, 0), r.bars ? 0 : 0x3366ccu);
        EXPECT_EQ(recorder->width(), r.width);
        if (r.revoke) {
            desktop.backend("Revoke");
            ASSERT_TRUE(recorder->waitEnd()) << "the stream did not notice that its node went away";
            EXPECT_EQ(recorder->ends()[0].code, kPipeWireContentEnded);
            queue->flush();
        }
        const size_t atStop = recorder->seen().size();
        EXPECT_FALSE(testing::await([&](auto done) { stream->stopCapture(done); }));
        EXPECT_EQ(recorder->ends().size(), r.revoke ? 1u : 0u);
        EXPECT_TRUE(!r.revoke || recorder->seen().size() == atStop) << "frames after the end";
        stream.reset();
        EXPECT_TRUE(pumpUntil([&] { return desktop.backend("Sessions").toUInt() == 0; }))
            << "the desktop still shares the screen";
    }
}

}  // namespace
}  // namespace skylark
