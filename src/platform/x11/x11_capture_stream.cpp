#include "platform/x11/x11_capture_stream.hpp"

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/capture/capture_outputs.hpp"
#include "platform/pulse/system_audio.hpp"
#include "platform/x11/frame_pump.hpp"
#include "platform/x11/x11_content_filter.hpp"

namespace skylark {
namespace {

Error x11Error(X11ErrorCode code, std::string text) {
    return Error{kX11ErrorDomain, code, std::move(text)};
}

class X11CaptureStream final : public CaptureStream,
                               public std::enable_shared_from_this<X11CaptureStream> {
  public:
    X11CaptureStream(std::shared_ptr<const X11ContentFilter> filter,
                     StreamConfiguration configuration,
                     std::weak_ptr<CaptureStreamDelegate> delegate, X11CaptureOptions options)
        : filter_(std::move(filter)),
          configuration_(configuration),
          delegate_(std::move(delegate)),
          options_(std::move(options)) {}

    ~X11CaptureStream() override { halt(); }

    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> output,
                                         StreamOutputType type,
                                         std::shared_ptr<Executor> queue) override {
        std::lock_guard control(control_);
        return outputs_.add(std::move(output), type, std::move(queue), phase_ != Phase::idle,
                            kX11ErrorDomain, kX11BadRequest);
    }

    void startCapture(CaptureCompletion completion) override {
        std::optional<Error> error;
        {
            std::lock_guard control(control_);
            error = start();
        }
        completion(std::move(error));
    }

    void stopCapture(CaptureCompletion completion) override {
        {
            std::lock_guard control(control_);
            halt();
            phase_ = Phase::stopped;
        }
        completion(std::nullopt);
    }

  private:
    enum class Phase { idle, running, stopped };

    // Control lock held.
    std::optional<Error> start() {
        if (phase_ != Phase::idle) {
            return x11Error(kX11BadRequest, "A capture stream cannot be started twice.");
        }
        if (std::optional<Error> bad =
                capture::checkConfiguration(configuration_, kX11ErrorDomain, kX11BadRequest)) {
            return bad;
        }
        std::string why;
        std::unique_ptr<x11::FrameSource> source =
            filter_->kind() == X11ContentFilter::Kind::display
                ? x11::openDisplaySource(filter_->displayName(), filter_->monitor().name, why)
                : x11::openWindowSource(filter_->displayName(), filter_->window().id, why);
        if (!source) {
            return x11Error(kX11CannotCapture, why);
        }
        if (!source->pointerProblem().empty()) {
            options_.trace->trace(source->pointerProblem());
        }
        x11::FramePump::Settings settings;
        settings.width = static_cast<uint32_t>(configuration_.width);
        settings.height = static_cast<uint32_t>(configuration_.height);
        settings.minimumInterval = capture::frameInterval(configuration_.minimumFrameInterval_ns);
        settings.queueDepth = static_cast<uint32_t>(std::max(configuration_.queueDepth, 1));
        delivering_ = true;
        pump_ = std::make_unique<x11::FramePump>(
            std::move(source), settings, [this](x11::CapturedFrame f) { deliver(std::move(f)); },
            [this](const std::string& reason) { ended(reason); });
        if (!pump_->start(why)) {
            delivering_ = false;
            pump_.reset();
            return x11Error(kX11CannotCapture, why);
        }
        if (configuration_.capturesAudio && outputs_.audio.queue) {
            audioCapture_ = capture::startSystemAudio(
                configuration_, options_.audioServer, options_.audioDevice, options_.trace,
                [this](pulse::AudioChunk c) { deliver(std::move(c)); });
        }
        phase_ = Phase::running;
        return std::nullopt;
    }

    // Stops both captures; when it returns nothing more is posted. Control lock held.
    void halt() {
        delivering_ = false;
        pump_.reset();
        audioCapture_.reset();
    }

    // On the capture thread.
    void deliver(x11::CapturedFrame frame) {
        if (!delivering_ || !outputs_.screen.queue) {
            return;
        }
        outputs_.postScreen(std::move(frame.picture), frame.time, std::move(frame.queued));
    }

    // On the audio thread.
    void deliver(pulse::AudioChunk chunk) {
        if (!delivering_) {
            return;
        }
        outputs_.postAudio(std::move(chunk));
    }

    // On the capture thread, once, when the content went away by itself.
    void ended(const std::string& reason) {
        delivering_ = false;
        const Error error = x11Error(
            reason == x11::kConnectionLostText ? kX11ConnectionLost : kX11ContentEnded, reason);
        // Reported from a thread of its own: the delegate may stop or drop this stream, which
        // joins the capture thread. A stream already being destroyed reports nothing.
        std::shared_ptr<X11CaptureStream> self = weak_from_this().lock();
        if (!self) {
            return;
        }
        std::thread([self = std::move(self), error] {
            {
                // A stop that came meanwhile has made the end moot.
                std::lock_guard control(self->control_);
                if (self->phase_ == Phase::stopped) {
                    return;
                }
            }
            if (auto delegate = self->delegate_.lock()) {
                delegate->streamDidStopWithError(*self, error);
            }
        }).detach();
    }

    const std::shared_ptr<const X11ContentFilter> filter_;
    const StreamConfiguration configuration_;
    const std::weak_ptr<CaptureStreamDelegate> delegate_;
    const X11CaptureOptions options_;

    // Serialises start, stop and the outputs' set-up; the capture threads never take it.
    std::mutex control_;
    Phase phase_ = Phase::idle;
    capture::CaptureOutputs outputs_;
    std::unique_ptr<x11::FramePump> pump_;
    std::unique_ptr<pulse::SystemAudioCapture> audioCapture_;
    std::atomic<bool> delivering_{false};
};

}  // namespace

CaptureStreamFactory makeX11CaptureStreamFactory(X11CaptureOptions options) {
    if (!options.trace) {
        options.trace = std::make_shared<TraceLog>();
    }
    return [options](std::shared_ptr<const ContentFilter> filter,
                     const StreamConfiguration& configuration,
                     std::weak_ptr<CaptureStreamDelegate> delegate) -> CaptureStreamResult {
        auto x11Filter = std::dynamic_pointer_cast<const X11ContentFilter>(filter);
        if (!x11Filter) {
            return x11Error(kX11BadRequest,
                            "The chosen content does not come from the X11 picker, so it cannot "
                            "be captured here.");
        }
        return std::make_shared<X11CaptureStream>(std::move(x11Filter), configuration,
                                                  std::move(delegate), options);
    };
}

}  // namespace skylark
