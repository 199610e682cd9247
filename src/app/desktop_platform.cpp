#include "app/desktop_platform.hpp"

#include "app/http_shell_server.hpp"
#include "caster/native_caster.hpp"
#include "http/device_access_file.hpp"
#include "http/web_resources.hpp"
#include "platform/capture/desktop_capture.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"

namespace skylark {
namespace {

class NativeShellCaster final : public ShellCaster {
  public:
    explicit NativeShellCaster(std::shared_ptr<NativeCaster> caster) : caster_(std::move(caster)) {}

    void start() override { caster_->start(); }
    void stop() override { caster_->stop(); }
    void setStateChanged(StateHandler handler) override {
        caster_->setStateChanged(std::move(handler));
    }

  private:
    std::shared_ptr<NativeCaster> caster_;
};

}  // namespace

ShellPlatform desktopShellPlatform() {
    ShellPlatform platform;
    platform.makeServer = [](std::shared_ptr<LiveHLSStore> store) {
        HTTPServer::Options options;
        options.access = loadDeviceAccess(deviceAccessFile());
        return makeHTTPShellServer(defaultWebRoot(), std::move(store), options);
    };
    platform.makeCaster = [](std::shared_ptr<LiveHLSStore> store,
                             std::shared_ptr<MainDispatcher> main) {
        DesktopCapture capture = makeDesktopCapture();
        CasterPlatform casterPlatform;
        casterPlatform.picker = std::move(capture.picker);
        casterPlatform.makeStream = std::move(capture.makeStream);
        casterPlatform.makeWriter = makeFFmpegWriterFactory();
        casterPlatform.main = std::move(main);
        return std::make_unique<NativeShellCaster>(
            NativeCaster::create(std::move(store), std::move(casterPlatform)));
    };
    return platform;
}

}  // namespace skylark
