#include "support/desktop_services.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace skylark::testing {

using namespace std::chrono_literals;

XvfbServer::XvfbServer(unsigned width, unsigned height)
    : process_(std::make_unique<ChildProcess>(
          std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0",
                                   std::to_string(width) + "x" + std::to_string(height) + "x24",
                                   "-nolisten", "tcp", "-noreset"},
          ChildProcess::Options{})) {
    // The server picks a free display number and tells it on our pipe once it accepts clients:
    // parallel runs never race for one.
    display_ = ":" + process_->readLine(10s);
    if (display_ == ":" || !process_->running()) {
        throw std::runtime_error("Xvfb did not start");
    }
}

PulseServer::PulseServer() {
    chmod(runtime_.path().c_str(), 0700);
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime_.path(),
                                          "HOME=" + runtime_.path(), "PULSE_SERVER=" + address_};
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"pulseaudio", "--daemonize=no", "--exit-idle-time=-1",
                                 "--disallow-exit", "-n", "--use-pid-file=no",
                                 "--load=module-native-protocol-unix auth-anonymous=1",
                                 "--load=module-null-sink sink_name=tvsink rate=48000 channels=2",
                                 "--load=module-always-sink"},
        ChildProcess::Options{env});
    auto answers = [&] { return runToEnd({"pactl", "info"}, env) == 0; };
    if (!pollUntil([&] { return !process_->running() || answers(); }, 15s) ||
        !process_->running()) {
        throw std::runtime_error("pulseaudio did not start");
    }
    runToEnd({"pactl", "set-default-sink", "tvsink"}, env);
}

}  // namespace skylark::testing
