#include "support/desktop_services.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <stdexcept>

namespace skylark::testing {
namespace {

bool canConnect(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return ok;
}

}  // namespace

XvfbServer::XvfbServer(unsigned width, unsigned height) {
    // The server picks a free display number itself and tells it on our pipe, so parallel
    // runs never race for one.
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0",
                                 std::to_string(width) + "x" + std::to_string(height) + "x24",
                                 "-nolisten", "tcp", "-noreset"},
        ChildProcess::Options{});
    const std::string number = process_->readLine(std::chrono::seconds(10));
    if (number.empty()) {
        throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + number;
    if (!pollUntil([&] { return !process_->running() || canConnect(display_); },
                   std::chrono::seconds(10)) ||
        !process_->running()) {
        throw std::runtime_error("Xvfb did not accept connections on " + display_);
    }
}

XvfbServer::~XvfbServer() {
    kill();
}

void XvfbServer::kill() {
    if (process_) {
        process_->stop(SIGTERM);
    }
}

PulseServer::PulseServer()
    : runtime_(std::make_unique<TempDir>("skylark-pulse-run-")),
      home_(std::make_unique<TempDir>("skylark-pulse-home-")) {
    chmod(runtime_->path().c_str(), 0700);
    address_ = "unix:" + runtime_->path() + "/pulse/native";
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime_->path(),
                                          "HOME=" + home_->path(), "PULSE_SERVER=" + address_};
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"pulseaudio", "--daemonize=no", "--exit-idle-time=-1",
                                 "--disallow-exit", "-n", "--use-pid-file=no",
                                 "--load=module-native-protocol-unix auth-anonymous=1",
                                 "--load=module-null-sink sink_name=tvsink rate=48000 channels=2",
                                 "--load=module-always-sink"},
        ChildProcess::Options{env, true});
    if (!pollUntil(
            [&] {
                return !process_->running() ||
                       runToEnd({"pactl", "--server=" + address_, "info"}, env) == 0;
            },
            std::chrono::seconds(15)) ||
        !process_->running()) {
        throw std::runtime_error("pulseaudio did not start");
    }
    runToEnd({"pactl", "--server=" + address_, "set-default-sink", "tvsink"}, env);
}

PulseServer::~PulseServer() {
    kill();
}

void PulseServer::kill() {
    if (process_) {
        process_->stop(SIGTERM);
    }
}

}  // namespace skylark::testing
