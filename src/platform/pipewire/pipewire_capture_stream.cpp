#include "platform/pipewire/pipewire_capture_stream.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/capture/capture_outputs.hpp"
#include "platform/pipewire/frame_pacer.hpp"
#include "platform/pipewire/pipewire_content_filter.hpp"
#include "platform/pipewire/video_capture.hpp"
#include "platform/pulse/system_audio.hpp"

namespace skylark {
namespace {

// Pictures beyond the queue depth: the newest kept by the pacer, one being drawn, and a few
// that the encoder may still be reading.
constexpr uint32_t kSparePictures = 4;

Error pipeWireError(PipeWireErrorCode code, std::string text) {
    return Error{kPipeWireErrorDomain, code, std::move(text)};
}

class PipeWireCaptureStream final : public CaptureStream,
                                    public std::enable_shared_from_this<PipeWireCaptureStream> {
  public:
    PipeWireCaptureStream(std::shared_ptr<const PipeWireContentFilter> filter,
                          StreamConfiguration configuration,
                          std::weak_ptr<CaptureStreamDelegate> delegate,
                          PipeWireCaptureOptions options)
        : filter_(std::move(filter)),
          configuration_(configuration),
          delegate_(std::move(delegate)),
          options_(std::move(options)) {}

    ~PipeWireCaptureStream() override {
        halt();
        filter_->release();
    }

    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> output,
                                         StreamOutputType type,
                                         std::shared_ptr<Executor> queue) override {
        std::lock_guard control(control_);
        return outputs_.add(std::move(output), type, std::move(queue), phase_ != Phase::idle,
                            kPipeWireErrorDomain, kPipeWireBadRequest);
    }

    void startCapture(CaptureCompletion completion) override {
        {
            std::lock_guard lock(completionMutex_);
            startCompletion_ = std::move(completion);
        }
        std::optional<Error> error;
        {
            std::lock_guard control(control_);
            error = start();
        }
        if (error) {
            completeStart(std::move(error));
        }
    }

    void stopCapture(CaptureCompletion completion) override {
        {
            std::lock_guard control(control_);
            halt();
            phase_ = Phase::stopped;
        }
        // Closing the portal's session tells the desktop that sharing is over (its indicator
        // goes away) rather than leaving that to the end of the process.
        filter_->release();
        completion(std::nullopt);
    }

  private:
    enum class Phase { idle, running, stopped };

    // Control lock held. On failure nothing has been started.
    std::optional<Error> start() {
        if (phase_ != Phase::idle) {
            return pipeWireError(kPipeWireBadRequest, "A capture stream cannot be started twice.");
        }
        if (std::optional<Error> bad = capture::checkConfiguration(
                configuration_, kPipeWireErrorDomain, kPipeWireBadRequest)) {
            return bad;
        }
        const std::chrono::nanoseconds interval =
            capture::frameInterval(configuration_.minimumFrameInterval_ns);
        const uint32_t depth = static_cast<uint32_t>(std::max(configuration_.queueDepth, 1));

        pipewire::FramePacer::Settings pacing;
        pacing.interval = interval;
        pacing.queueDepth = depth;
        pacer_ = std::make_unique<pipewire::FramePacer>(
            pacing, pipewire::FramePacer::Handlers{
                        [this](pipewire::PacedFrame f) { deliver(std::move(f)); },
                        [this](std::optional<std::string> failure) { started(failure); },
                        [this](const std::string& reason) { ended(reason); }});

        pipewire::VideoCapture::Settings video;
        video.width = static_cast<uint32_t>(configuration_.width);
        video.height = static_cast<uint32_t>(configuration_.height);
        video.maxFrameRate = static_cast<uint32_t>(
            std::clamp<double>(std::ceil(1e9 / static_cast<double>(interval.count())), 1, 240));
        video.pictures = depth + kSparePictures;
        pipewire::FramePacer* pacer = pacer_.get();
        std::shared_ptr<Trace> trace = options_.trace;
        video_ = std::make_unique<pipewire::VideoCapture>(
            filter_->openRemote(), filter_->nodeId(), video,
            [pacer](std::shared_ptr<const frames::YuvPicture> p) { pacer->offer(std::move(p)); },
            [pacer](const std::string& reason) { pacer->end(reason); },
            [trace](std::string_view line) {
                if (trace) {
                    trace->trace(line);
                }
            });
        std::string why;
        if (!video_->start(why)) {
            video_.reset();
            pacer_.reset();
            return pipeWireError(kPipeWireCannotCapture, why);
        }
        pacer_->start();

        if (configuration_.capturesAudio && outputs_.audio.queue) {
            audioCapture_ = capture::startSystemAudio(
                configuration_, options_.audioServer, options_.audioDevice, trace,
                [this](pulse::AudioChunk c) { deliver(std::move(c)); });
        }
        phase_ = Phase::running;
        return std::nullopt;
    }

    // Stops every source; when it returns nothing more is posted. Control lock held.
    void halt() {
        flowing_ = false;
        if (video_) {
            video_->stop();
            const pipewire::VideoCapture::Counters c = video_->counters();
            if (options_.trace) {
                options_.trace->trace("PipeWire frames: " + std::to_string(c.drawn) + " drawn, " +
                                      std::to_string(c.withoutContent) + " without new content, " +
                                      std::to_string(c.droppedBusy) +
                                      " dropped while the encoder was busy");
            }
        }
        video_.reset();
        pacer_.reset();
        audioCapture_.reset();
    }

    void completeStart(std::optional<Error> error) {
        CaptureCompletion completion;
        {
            std::lock_guard lock(completionMutex_);
            completion = std::exchange(startCompletion_, nullptr);
        }
        if (completion) {
            completion(std::move(error));
        }
    }

    // On the pacer's thread.
    void started(const std::optional<std::string>& failure) {
        completeStart(failure
                          ? std::optional<Error>(pipeWireError(kPipeWireCannotCapture, *failure))
                          : std::nullopt);
    }

    // On the pacer's thread, once, when the node went away by itself.
    void ended(const std::string& reason) {
        flowing_ = false;
        const Error error = pipeWireError(kPipeWireContentEnded, reason);
        // Reported from a thread of its own: the delegate may stop or drop this stream, which
        // joins the pacer's thread. A stream already being destroyed reports nothing.
        std::shared_ptr<PipeWireCaptureStream> self = weak_from_this().lock();
        if (!self) {
            return;
        }
        std::thread([self = std::move(self), error] {
            if (auto delegate = self->delegate_.lock()) {
                delegate->streamDidStopWithError(*self, error);
            }
        }).detach();
    }

    // On the pacer's thread.
    void deliver(pipewire::PacedFrame frame) {
        if (!outputs_.screen.queue) {
            return;
        }
        // Audio waits for the first frame, so that no sample comes before the start completes.
        flowing_ = true;
        outputs_.postScreen(std::move(frame.picture), frame.time, std::move(frame.queued));
    }

    // On the audio thread.
    void deliver(pulse::AudioChunk chunk) {
        if (!flowing_) {
            return;
        }
        outputs_.postAudio(std::move(chunk));
    }

    const std::shared_ptr<const PipeWireContentFilter> filter_;
    const StreamConfiguration configuration_;
    const std::weak_ptr<CaptureStreamDelegate> delegate_;
    const PipeWireCaptureOptions options_;

    // Serialises start, stop and the outputs' set-up; the capture threads never take it.
    std::mutex control_;
    Phase phase_ = Phase::idle;
    capture::CaptureOutputs outputs_;
    // Declared so that the pacer outlives the video capture that offers it pictures.
    std::unique_ptr<pipewire::FramePacer> pacer_;
    std::unique_ptr<pipewire::VideoCapture> video_;
    std::unique_ptr<pulse::SystemAudioCapture> audioCapture_;
    std::atomic<bool> flowing_{false};

    std::mutex completionMutex_;
    CaptureCompletion startCompletion_;
};

}  // namespace

CaptureStreamFactory makePipeWireCaptureStreamFactory(PipeWireCaptureOptions options) {
    if (!options.trace) {
        options.trace = std::make_shared<TraceLog>();
    }
    return [options](std::shared_ptr<const ContentFilter> filter,
                     const StreamConfiguration& configuration,
                     std::weak_ptr<CaptureStreamDelegate> delegate) -> CaptureStreamResult {
        auto pipeWireFilter = std::dynamic_pointer_cast<const PipeWireContentFilter>(filter);
        if (!pipeWireFilter) {
            return pipeWireError(kPipeWireBadRequest,
                                 "The chosen content does not come from the desktop's "
                                 "screen-sharing portal, so it cannot be captured here.");
        }
        return std::make_shared<PipeWireCaptureStream>(std::move(pipeWireFilter), configuration,
                                                       std::move(delegate), options);
    };
}

}  // namespace skylark
