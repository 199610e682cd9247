#include "platform/x11/x11_capture_stream.hpp"

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/pulse/system_audio.hpp"
#include "platform/x11/frame_pump.hpp"
#include "platform/x11/x11_content_filter.hpp"

namespace skylark {
namespace {

constexpr std::int32_t kNanosecondTimescale = 1'000'000'000;
constexpr std::int64_t kMaxSide = 16384;

Error x11Error(X11ErrorCode code, std::string text) {
    return Error::withDescription(kX11ErrorDomain, code, std::move(text));
}

MediaTime monotonicTime(std::chrono::nanoseconds time) {
    return MediaTime::make(time.count(), kNanosecondTimescale);
}

// A minimum frame interval that is not a positive number means "as fast as the screen": 60 a
// second stands in for that rather than a busy loop.
std::chrono::nanoseconds frameInterval(const MediaTime& interval) {
    const double seconds = interval.seconds();
    if (!interval.isNumeric() || !(seconds > 0)) {
        return std::chrono::nanoseconds(1'000'000'000 / 60);
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

std::optional<Error> checkConfiguration(const StreamConfiguration& c) {
    if (c.width < 2 || c.height < 2 || c.width > kMaxSide || c.height > kMaxSide) {
        return x11Error(kX11BadRequest, "The capture size " + std::to_string(c.width) + "x" +
                                            std::to_string(c.height) + " is not supported.");
    }
    if (c.pixelFormat != ImageBuffer::kPixelFormatBGRA) {
        return x11Error(kX11BadRequest, "The capture delivers BGRA frames only.");
    }
    if (c.capturesAudio && (c.sampleRate < 8000 || c.sampleRate > 192000 || c.channelCount < 1 ||
                            c.channelCount > 8)) {
        return x11Error(kX11BadRequest, "System audio at " + std::to_string(c.sampleRate) +
                                            " Hz with " + std::to_string(c.channelCount) +
                                            " channels is not supported.");
    }
    return std::nullopt;
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
        if (phase_ != Phase::idle) {
            return x11Error(kX11BadRequest, "Outputs must be added before the capture starts.");
        }
        if (!queue) {
            return x11Error(kX11BadRequest, "A capture output needs a queue to deliver on.");
        }
        switch (type) {
            case StreamOutputType::screen:
                screen_ = {std::move(output), std::move(queue)};
                return std::nullopt;
            case StreamOutputType::audio:
                audio_ = {std::move(output), std::move(queue)};
                return std::nullopt;
            default:
                return x11Error(kX11BadRequest,
                                "This capture has no output of type " +
                                    std::to_string(static_cast<std::int32_t>(type)) + ".");
        }
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
    struct Output {
        std::weak_ptr<CaptureStreamOutput> output;
        std::shared_ptr<Executor> queue;
    };

    // Control lock held.
    std::optional<Error> start() {
        if (phase_ != Phase::idle) {
            return x11Error(kX11BadRequest, "A capture stream cannot be started twice.");
        }
        if (std::optional<Error> bad = checkConfiguration(configuration_)) {
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
        x11::FramePump::Settings settings;
        settings.width = static_cast<uint32_t>(configuration_.width);
        settings.height = static_cast<uint32_t>(configuration_.height);
        settings.minimumInterval = frameInterval(configuration_.minimumFrameInterval);
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
        if (configuration_.capturesAudio && audio_.queue) {
            pulse::SystemAudioCapture::Settings audio;
            audio.server = options_.audioServer;
            audio.device = options_.audioDevice;
            audio.sampleRate = static_cast<uint32_t>(configuration_.sampleRate);
            audio.channels = static_cast<uint32_t>(configuration_.channelCount);
            std::shared_ptr<Trace> trace = options_.trace;
            audioCapture_ = std::make_unique<pulse::SystemAudioCapture>(
                audio, [this](pulse::AudioChunk c) { deliver(std::move(c)); },
                [trace](std::string_view line) {
                    if (trace) {
                        trace->trace(line);
                    }
                });
            audioCapture_->start();
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
        if (!delivering_ || !screen_.queue) {
            return;
        }
        const x11::Picture& picture = *frame.picture;
        ImageBuffer image;
        image.width = static_cast<std::int32_t>(picture.width());
        image.height = static_cast<std::int32_t>(picture.height());
        image.bytesPerRow = static_cast<std::int32_t>(picture.stride());
        image.pixels = std::shared_ptr<const std::uint8_t>(frame.picture, picture.data());
        SampleBuffer sample =
            SampleBuffer::screenFrame(std::move(image), monotonicTime(frame.time));
        // The token counts the frame as queued until the output has handled it (or the queue
        // dropped the work unrun).
        screen_.queue->post([output = screen_.output, sample = std::move(sample),
                             queued = std::move(frame.queued)]() mutable {
            if (auto o = output.lock()) {
                o->streamDidOutputSampleBuffer(sample, StreamOutputType::screen);
            }
            queued.reset();
        });
    }

    // On the audio thread.
    void deliver(pulse::AudioChunk chunk) {
        if (!delivering_) {
            return;
        }
        auto samples = std::make_shared<const std::vector<float>>(std::move(chunk.samples));
        AudioBuffer buffer;
        buffer.frameCount = static_cast<std::int32_t>(chunk.frames);
        buffer.channelCount = static_cast<std::int32_t>(chunk.channels);
        buffer.sampleRate = static_cast<std::int32_t>(chunk.sampleRate);
        buffer.samples = std::shared_ptr<const float>(samples, samples->data());
        SampleBuffer sample = SampleBuffer::audio(std::move(buffer), monotonicTime(chunk.time));
        audio_.queue->post([output = audio_.output, sample = std::move(sample)] {
            if (auto o = output.lock()) {
                o->streamDidOutputSampleBuffer(sample, StreamOutputType::audio);
            }
        });
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
    Output screen_;
    Output audio_;
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
