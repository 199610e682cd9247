#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.hpp"
#include "app/shell_services.hpp"

namespace skylark::testing {

// What the fakes were asked to do, in order, shared by the fake server and caster.
struct ShellLog {
    std::vector<std::string> calls;
    std::string address = "192.168.1.7";
    ShellCaster::StateHandler stateHandler;
    bool casterCreated = false;
};

class FakeServer final : public ShellServer {
  public:
    FakeServer(std::shared_ptr<ShellLog> log, std::uint16_t port)
        : log_(std::move(log)), port_(port) {}
    void start() override { log_->calls.push_back("server.start"); }
    std::uint16_t port() const override { return port_; }
    std::string localAddress() const override { return log_->address; }
    void requestStop() override { log_->calls.push_back("server.requestStop"); }

  private:
    std::shared_ptr<ShellLog> log_;
    std::uint16_t port_;
};

class FakeCaster final : public ShellCaster {
  public:
    explicit FakeCaster(std::shared_ptr<ShellLog> log) : log_(std::move(log)) {}
    void start() override { log_->calls.push_back("caster.start"); }
    void stop() override { log_->calls.push_back("caster.stop"); }
    void setStateChanged(StateHandler handler) override { log_->stateHandler = std::move(handler); }

  private:
    std::shared_ptr<ShellLog> log_;
};

// A shell platform of fakes on port 8765, with or without a tray host.
inline ShellPlatform fakePlatform(const std::shared_ptr<ShellLog>& log, bool trayAvailable) {
    ShellPlatform platform;
    platform.makeServer = [log](std::shared_ptr<LiveHLSStore>) {
        return std::make_unique<FakeServer>(log, 8765);
    };
    platform.makeCaster = [log](std::shared_ptr<LiveHLSStore>, std::shared_ptr<MainDispatcher>) {
        log->casterCreated = true;
        return std::make_unique<FakeCaster>(log);
    };
    platform.systemTrayAvailable = [trayAvailable] { return trayAvailable; };
    return platform;
}

}  // namespace skylark::testing
