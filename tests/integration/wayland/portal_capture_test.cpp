// The portal's picker and the PipeWire stream against the real xdg-desktop-portal, PipeWire and
// WirePlumber on a private bus, with a stand-in compositor backend behind the portal
// (screencast_backend.cpp); every program is started here and ended by its PID.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
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

constexpr std::uint32_t kBackground = 0x3366cc;

bool pumpUntil(const std::function<bool()>& done) {
    return testing::pollUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return done();
        },
        15s);
}

QDBusConnection bus(const std::string& address) {
    const QString a = QString::fromStdString(address);
    return QDBusConnection::connectToBus(a, a);
}

// A private session bus (activating nothing) with PipeWire, WirePlumber, the stand-in backend
// and the real portal on it, in private folders.
class PortalDesktop {
  public:
    explicit PortalDesktop(bool withPortal = true) {
        const std::string run = root_.path() + "/run", portals = root_.path() + "/portals";
        std::filesystem::create_directories(portals);
        std::filesystem::create_directories(run);
        chmod(run.c_str(), 0700);
        address_ = "unix:path=" + run + "/bus";
        std::ofstream(run + "/bus.conf")
            << "<busconfig><type>session</type><listen>" << address_
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
               "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
               "own=\"*\"/></policy></busconfig>";
        std::ofstream(portals + "/skylarktest.portal")
            << "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.skylarktest\n"
               "Interfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=skylarktest;\n";
        const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + run,
                                              "HOME=" + root_.path(),
                                              "XDG_CURRENT_DESKTOP=skylarktest",
                                              "XDG_DESKTOP_PORTAL_DIR=" + portals,
                                              "DBUS_SESSION_BUS_ADDRESS=" + address_,
                                              "WAYLAND_DISPLAY=",
                                              "DISPLAY="};
        auto start = [&](std::vector<std::string> argv, const std::function<bool()>& up) {
            processes_.push_back(std::make_unique<ChildProcess>(argv, ChildProcess::Options{env}));
            if (!testing::pollUntil([&] { return !processes_.back()->running() || up(); }, 15s) ||
                !processes_.back()->running()) {
                throw std::runtime_error(argv[0] + " did not start");
            }
        };
        start({"dbus-daemon", "--config-file=" + run + "/bus.conf", "--nofork"},
              [&] { return std::filesystem::exists(run + "/bus"); });
        start({"pipewire"}, [&] { return std::filesystem::exists(run + "/pipewire-0"); });
        // The session manager links streams to nodes; it is ready once its client is there.
        start({"wireplumber"}, [&] {
            ChildProcess list({"pw-cli", "ls", "Client"}, {env});
            for (std::string l = list.readLine(2s); !l.empty(); l = list.readLine(2s)) {
                if (l.find("WirePlumber [export]") != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
        start({SKYLARK_TEST_SCREENCAST_BACKEND, "3366cc"},
              [&] { return hasOwner("org.freedesktop.impl.portal.desktop.skylarktest"); });
        if (withPortal) {
            start({"/usr/libexec/xdg-desktop-portal"},
                  [&] { return hasOwner("org.freedesktop.portal.Desktop"); });
        }
    }
    ~PortalDesktop() {
        while (!processes_.empty()) {  // in reverse order of start
            processes_.pop_back();
        }
    }

    const std::string& address() const { return address_; }
    bool hasOwner(const char* name) { return bus(address_).interface()->isServiceRegistered(name); }
    // Calls the stand-in backend: Choose(share), Sessions() or Revoke().
    QVariant backend(const char* method, QVariantList arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.impl.portal.desktop.skylarktest", "/org/freedesktop/portal/desktop",
            "org.freedesktop.impl.portal.ScreenCast", method);
        call.setArguments(arguments);
        const QDBusMessage reply = bus(address_).call(call);
        return reply.arguments().value(0);
    }

  private:
    testing::TempDir root_{"skylark-wayland-"};
    std::string address_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

struct Outcomes : ContentPickerObserver {
    void contentSharingPickerDidUpdate(ContentPicker&,
                                       std::shared_ptr<const ContentFilter> filter) override {
        selections.push_back(std::move(filter));
    }
    void contentSharingPickerDidCancel(ContentPicker&) override { ++cancels; }
    void contentSharingPickerStartDidFail(const Error& error) override {
        failures.push_back(error.localizedDescription());
    }
    std::vector<std::shared_ptr<const ContentFilter>> selections;
    int cancels = 0;
    std::vector<std::string> failures;
};

// Presents the picker of this desktop as the caster does and waits for the one outcome.
std::shared_ptr<Outcomes> present(const std::string& address, const char* sessionType) {
    DesktopCaptureOptions options;
    options.portal.busAddress = address;
    options.x11Display = ":999";  // no X server there
    options.trace = std::make_shared<testing::QuietTrace>();
    options.getenv = [sessionType](const char* name) -> const char* {
        return std::string(name) == "XDG_SESSION_TYPE" ? sessionType : nullptr;
    };
    std::shared_ptr<ContentPicker> picker = makeDesktopCapture(options).picker;
    auto outcomes = std::make_shared<Outcomes>();
    picker->addObserver(outcomes);
    ContentPickerConfiguration configuration;
    configuration.allowedPickerModes = PickerMode::singleDisplay | PickerMode::singleApplication;
    picker->setDefaultConfiguration(configuration);
    picker->setActive(true);
    picker->present();
    EXPECT_TRUE(pumpUntil([&] {
        return outcomes->selections.size() + outcomes->cancels + outcomes->failures.size() > 0;
    }));
    return outcomes;
}

PipeWireCaptureOptions quiet(std::string audioServer = {}) {
    PipeWireCaptureOptions options;
    options.audioServer = std::move(audioServer);
    options.trace = std::make_shared<testing::QuietTrace>();
    return options;
}

class PortalCapture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "portal_capture_test", *argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
        for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli"}) {
            if (testing::runToEnd({"sh", "-c", std::string("command -v ") + program}) != 0) {
                skip_ = std::string(program) + " is not installed";
            }
        }
        if (!std::filesystem::exists("/usr/libexec/xdg-desktop-portal")) {
            skip_ = "xdg-desktop-portal is not installed";
        }
    }
    void SetUp() override {
        if (!skip_.empty()) {
            GTEST_SKIP() << "The desktop cannot run here: " << skip_;
        }
    }
    static inline std::string skip_;
};

TEST_F(PortalCapture, ChosenOutputComesAtTheConfiguredSizeAndColourAndStopReleasesTheSession) {
    PortalDesktop desktop;
    testing::PulseServer pulse;
    struct Row {
        int width, height;
        bool bars, audio;
    } const rows[] = {{320, 240, false, true}, {500, 300, true, false}, {640, 480, false, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        auto outcomes = present(desktop.address(), "wayland");
        ASSERT_EQ(outcomes->selections.size(), 1u);
        EXPECT_EQ(outcomes->selections[0]->contentRect().width, 640);
        auto queue = std::make_shared<SerialQueue>("test.video");
        auto recorder = std::make_shared<testing::CaptureRecorder>(queue);
        std::optional<Error> error;
        auto stream = testing::startRecording(
            makePipeWireCaptureStreamFactory(quiet(pulse.address())),
            std::move(outcomes->selections[0]),
            testing::castConfiguration(r.width, r.height, r.audio), recorder, queue, error);
        ASSERT_FALSE(error) << error->fullDescription();
        // Past the desktop's three good frames, only damaged or corrupted buffers came.
        ASSERT_TRUE(recorder->waitFor(true, 15));
        EXPECT_TRUE(!r.audio || recorder->waitFor(false, 10)) << "no system audio";
        auto near = [](std::uint32_t a, std::uint32_t b) {
            for (int shift : {0, 8, 16}) {
                if (std::abs(int(a >> shift & 0xff) - int(b >> shift & 0xff)) > 2) {
                    return false;
                }
            }
            return true;
        };
        EXPECT_TRUE(near(recorder->rgbAt(r.width / 2, r.height / 2), kBackground));
        EXPECT_TRUE(near(recorder->rgbAt(0, 0), r.bars ? 0 : kBackground));
        EXPECT_EQ(recorder->lastVideo().width, r.width);
        EXPECT_FALSE(testing::await([&](auto done) { stream->stopCapture(done); }));
        EXPECT_TRUE(recorder->ends().empty());
        stream.reset();
        EXPECT_TRUE(pumpUntil([&] { return desktop.backend("Sessions").toUInt() == 0; }))
            << "the desktop still shares the screen";
    }
}

TEST_F(PortalCapture, DecliningInTheDialogIsACancellation) {
    PortalDesktop desktop;
    desktop.backend("Choose", {false});
    auto outcomes = present(desktop.address(), "wayland");
    EXPECT_EQ(outcomes->cancels, 1);
    EXPECT_TRUE(outcomes->failures.empty());
}

TEST_F(PortalCapture, TheDesktopRevokingTheSessionEndsTheStreamByItself) {
    PortalDesktop desktop;
    auto outcomes = present(desktop.address(), "wayland");
    ASSERT_EQ(outcomes->selections.size(), 1u);
    auto queue = std::make_shared<SerialQueue>("test.video");
    auto recorder = std::make_shared<testing::CaptureRecorder>(queue);
    std::optional<Error> error;
    auto stream = testing::startRecording(
        makePipeWireCaptureStreamFactory(quiet()), outcomes->selections[0],
        testing::castConfiguration(320, 240, false), recorder, queue, error);
    ASSERT_TRUE(recorder->waitFor(true, 3));
    desktop.backend("Revoke");
    ASSERT_TRUE(recorder->waitEnd()) << "the stream did not notice that its node went away";
    queue->flush();
    const size_t atEnd = recorder->seen().size();
    EXPECT_FALSE(testing::await([&](auto done) { stream->stopCapture(done); }));
    EXPECT_EQ(recorder->seen().size(), atEnd);
    ASSERT_EQ(recorder->ends().size(), 1u);
    EXPECT_EQ(recorder->ends()[0].code, kPipeWireContentEnded);
}

TEST_F(PortalCapture, WithoutAPortalOrAnXServerTheUserIsToldWhy) {
    PortalDesktop desktop(/*withPortal=*/false);
    EXPECT_EQ(present(desktop.address(), "wayland")->failures,
              std::vector<std::string>{"Screen sharing is not available on this desktop: the "
                                       "desktop portal (xdg-desktop-portal) is not running."});
    std::string why;
    EXPECT_FALSE(x11SeesDesktop(":999", why));
    EXPECT_NE(why.find(":999"), std::string::npos) << why;
}

}  // namespace
}  // namespace skylark
