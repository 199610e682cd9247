// The native cast for the latency harness, with no person at the keyboard: the real HTTP server
// on port 8765 with the store and the WebRTC viewers, and the NativeCaster with the X11 picker,
// X11 capture, PulseAudio and the FFmpeg writer, as the application wires them. Commands come one a line on standard
// input:
//
//   start   present the picker and press Enter in it (it opens with the primary display
//           selected, so Enter shares it), as a person would; prints "selected <ns>" with the
//           monotonic time of the key press
//   stop    "Stop Casting": stop the caster and raise the stop counter
//   quit    end the program (also at the end of input)
//
// It prints "listening <port>" once serving and "state <0|1> <text>" on every state report.
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QMetaObject>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "caster/native_caster.hpp"
#include "common/allocator_tuning.hpp"
#include "common/main_dispatcher.hpp"
#include "hls/live_hls_store.hpp"
#include "http/device_access_file.hpp"
#include "http/http_server.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"
#include "platform/gstreamer/webrtc_sender.hpp"
#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_content_picker.hpp"

namespace skylark {
namespace {

class QtMain final : public MainDispatcher {
  public:
    void post(std::function<void()> work) override {
        QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
    }
};

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for the picker's dialog, then presses Enter where the keyboard focus is.
void pressEnterWhenShown(const std::shared_ptr<X11ContentPicker>& picker, int triesLeft) {
    QDialog* dialog = picker->dialog();
    if (!dialog || !dialog->isVisible()) {
        if (triesLeft <= 0) {
            say("error the picker did not appear");
            return;
        }
        QTimer::singleShot(2, [picker, triesLeft] { pressEnterWhenShown(picker, triesLeft - 1); });
        return;
    }
    QWidget* target = dialog->focusWidget() ? dialog->focusWidget() : dialog;
    const std::int64_t at = monotonicNs();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
    say("selected " + std::to_string(at));
}

}  // namespace
}  // namespace skylark

int main(int argc, char** argv) {
    using namespace skylark;
    if (argc != 2) {
        std::cerr << "usage: skylark_e2e_cast <web folder>\n";
        return 2;
    }
    keepLargeBlocksMapped();  // as the application does first
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    auto store = std::make_shared<LiveHLSStore>();
    // The allowed devices as the application keeps them: the harness says there whether its TV
    // browsers (on another address) are asked about.
    // The cast's WebRTC viewers, as the application serves them.
    auto made = WebRTCSender::create();
    if (auto* error = std::get_if<Error>(&made)) {
        std::cerr << "skylark_e2e_cast: " << error->localizedDescription() << "\n";
        return 1;
    }
    auto viewers = std::get<std::shared_ptr<WebRTCSender>>(std::move(made));
    HTTPServer server(std::filesystem::path(argv[1]), store,
                      HTTPServer::Options{.port = HTTPServer::kPort,
                                          .advertise = false,
                                          .access = loadDeviceAccess(deviceAccessFile()),
                                          .viewers = viewers});
    try {
        server.start();
    } catch (const std::exception& error) {
        std::cerr << "skylark_e2e_cast: " << error.what() << "\n";
        return 1;
    }
    auto picker = makeX11ContentPicker();
    CasterPlatform platform;
    platform.picker = picker;
    platform.makeStream = makeX11CaptureStreamFactory();
    platform.makeWriter = withWebRTCViewers(makeFFmpegWriterFactory(), viewers);
    platform.main = std::make_shared<QtMain>();
    auto caster = NativeCaster::create(store, std::move(platform));
    caster->setStateChanged([](bool casting, const std::string& text) {
        say(std::string("state ") + (casting ? "1 " : "0 ") + text);
    });
    say("listening " + std::to_string(HTTPServer::kPort));

    std::thread input([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            QMetaObject::invokeMethod(
                &app,
                [line, &caster, &picker, &server] {
                    if (line == "start") {
                        caster->start();
                        pressEnterWhenShown(picker, 2500);
                    } else if (line == "stop") {
                        caster->stop();
                        server.state().requestStop();
                    } else if (line == "quit") {
                        QApplication::quit();
                    }
                },
                Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(&app, [] { QApplication::quit(); }, Qt::QueuedConnection);
    });
    const int status = app.exec();
    caster->stop();
    input.detach();  // blocked reading standard input; the process ends now
    std::fflush(stdout);
    std::_Exit(status);
}
