#include "support/desktop_services.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <filesystem>
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
    // Numbers from a range nobody uses by habit, spread by our PID so parallel runs differ.
    const unsigned base = 300 + static_cast<unsigned>(getpid()) % 500;
    for (unsigned attempt = 0; attempt < 20; ++attempt) {
        const unsigned number = base + attempt * 37 % 500;
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (std::filesystem::exists(lock)) {
            continue;
        }
        display_ = ":" + std::to_string(number);
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"Xvfb", display_, "-screen", "0",
                                     std::to_string(width) + "x" + std::to_string(height) + "x24",
                                     "-nolisten", "tcp", "-noreset"},
            ChildProcess::Options{});
        if (pollUntil([&] { return !process_->running() || canConnect(display_); },
                      std::chrono::seconds(10)) &&
            process_->running()) {
            return;
        }
        process_.reset();  // lost a race for the number; try another
    }
    throw std::runtime_error("Xvfb did not start");
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
