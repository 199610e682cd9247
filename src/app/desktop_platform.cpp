#include "app/desktop_platform.hpp"

#include "app/http_shell_server.hpp"
#include "caster/native_caster.hpp"
#include "http/device_access_file.hpp"
#include "http/server_log.hpp"
#include "http/web_resources.hpp"
#include "platform/capture/desktop_capture.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"
#include "platform/gstreamer/webrtc_sender.hpp"

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

// The WebRTC viewers of every cast, or none (and one line saying why) without GStreamer's parts:
// the TVs then play the HLS stream.
std::shared_ptr<WebRTCSender> makeViewers() {
    auto made = WebRTCSender::create();
    if (auto* error = std::get_if<Error>(&made)) {
        logServerMessage(error->localizedDescription());
        return nullptr;
    }
    return std::get<std::shared_ptr<WebRTCSender>>(std::move(made));
}

}  // namespace

ShellPlatform desktopShellPlatform() {
    ShellPlatform platform;
    std::shared_ptr<WebRTCSender> viewers = makeViewers();
    platform.makeServer = [viewers](std::shared_ptr<LiveHLSStore> store) {
        HTTPServer::Options options;
        options.access = loadDeviceAccess(deviceAccessFile());
        options.viewers = viewers;
        return makeHTTPShellServer(defaultWebRoot(), std::move(store), options);
    };
    platform.makeCaster = [viewers](std::shared_ptr<LiveHLSStore> store,
                                    std::shared_ptr<MainDispatcher> main) {
        DesktopCapture capture = makeDesktopCapture();
        CasterPlatform casterPlatform;
        casterPlatform.picker = std::move(capture.picker);
        casterPlatform.makeStream = std::move(capture.makeStream);
        casterPlatform.makeWriter = viewers ? withWebRTCViewers(makeFFmpegWriterFactory(), viewers)
                                            : makeFFmpegWriterFactory();
        casterPlatform.main = std::move(main);
        return std::make_unique<NativeShellCaster>(
            NativeCaster::create(std::move(store), std::move(casterPlatform)));
    };
    platform.quitting = [viewers] {
        if (viewers) {
            viewers->finish();
        }
    };
    return platform;
}

}  // namespace skylark
