#pragma once

// The caster's side of a real capture stream: what arrived, on which queue, and how it ended.
#include <algorithm>
#include <mutex>
#include <vector>

#include "caster/capture_platform.hpp"
#include "caster/trace_log.hpp"
#include "common/serial_queue.hpp"
#include "support/child_process.hpp"

namespace skylark::testing {

struct Delivery {
    bool video = false;
    int width = 0;  // video only
    int height = 0;
    bool silent = false;  // audio only: every sample zero
    double seconds = 0;   // the media time
    double arrival = 0;   // the monotonic clock when it arrived, in seconds
    bool onQueue = false;
};

class CaptureRecorder : public CaptureStreamOutput, public CaptureStreamDelegate {
  public:
    explicit CaptureRecorder(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

    void streamDidOutputSampleBuffer(const SampleBuffer& s, StreamOutputType type) override {
        Delivery d{type == StreamOutputType::screen};
        d.seconds = s.presentationTimeStamp.seconds();
        d.arrival =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        d.onQueue = queue_ && queue_->isCurrent();
        std::lock_guard lock(mutex_);
        if (s.imageBuffer) {
            d.width = s.imageBuffer->width;
            d.height = s.imageBuffer->height;
            last_ = *s.imageBuffer;  // only the newest is held: the capture's pool is small
            lastVideo_ = d;
        }
        if (s.audioBuffer) {
            const float* p = s.audioBuffer->samples.get();
            const int n = s.audioBuffer->frameCount * s.audioBuffer->channelCount;
            d.silent = std::all_of(p, p + n, [](float v) { return v == 0.0f; });
        }
        seen_.push_back(d);
    }
    void streamDidStopWithError(CaptureStream&, const Error& error) override {
        std::lock_guard lock(mutex_);
        ends_.push_back(error);
    }

    std::vector<Delivery> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<Error> ends() {
        std::lock_guard lock(mutex_);
        return ends_;
    }
    Delivery lastVideo() {
        std::lock_guard lock(mutex_);
        return lastVideo_;
    }
    size_t count(bool video) {
        std::lock_guard lock(mutex_);
        return std::count_if(seen_.begin(), seen_.end(), [&](auto& d) { return d.video == video; });
    }
    bool waitFor(bool video, size_t n) {
        return pollUntil([&] { return count(video) >= n; }, std::chrono::seconds(10));
    }
    bool waitEnd() {
        return pollUntil([&] { return !ends().empty(); }, std::chrono::seconds(10));
    }
    // The 0xRRGGBB value at (x, y) of the newest frame.
    std::uint32_t rgbAt(int x, int y) {
        std::lock_guard lock(mutex_);
        const std::uint8_t* p = last_.pixels.get() + last_.bytesPerRow * y + x * 4;
        return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
    }

  private:
    std::shared_ptr<SerialQueue> queue_;
    std::mutex mutex_;
    std::vector<Delivery> seen_;
    std::vector<Error> ends_;
    ImageBuffer last_;
    Delivery lastVideo_;
};

// Keeps a capture's diagnostics out of the user's trace file.
struct QuietTrace : Trace {
    void trace(std::string_view) override {}
};

// Runs a start or stop and waits for its completion; "no completion" when none comes.
inline std::optional<Error> await(const std::function<void(CaptureCompletion)>& call) {
    struct State {
        std::mutex mutex;
        std::optional<std::optional<Error>> result;
    };
    auto state = std::make_shared<State>();
    call([state](std::optional<Error> error) {
        std::lock_guard lock(state->mutex);
        state->result = std::move(error);
    });
    std::optional<std::optional<Error>> out;
    pollUntil(
        [&] {
            std::lock_guard lock(state->mutex);
            return (out = state->result).has_value();
        },
        std::chrono::seconds(15));
    return out ? *out : Error::withDescription("test", 0, "no completion");
}

// What the caster asks for, at `width` x `height`.
inline StreamConfiguration castConfiguration(std::int64_t width, std::int64_t height, bool audio) {
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.minimumFrameInterval = MediaTime::make(1, 30);
    c.queueDepth = 5;
    c.capturesAudio = audio;
    c.excludesCurrentProcessAudio = true;
    return c;
}

// Makes the stream, adds the recorder as its outputs on `queue` and starts it.
inline std::shared_ptr<CaptureStream> startRecording(const CaptureStreamFactory& factory,
                                                     std::shared_ptr<const ContentFilter> filter,
                                                     const StreamConfiguration& configuration,
                                                     const std::shared_ptr<CaptureRecorder>& r,
                                                     std::shared_ptr<Executor> queue,
                                                     std::optional<Error>& error) {
    CaptureStreamResult made = factory(std::move(filter), configuration, r);
    if (auto* e = std::get_if<Error>(&made)) {
        error = *e;
        return nullptr;
    }
    auto stream = std::get<std::shared_ptr<CaptureStream>>(made);
    error = stream->addStreamOutput(r, StreamOutputType::screen, queue);
    if (!error && configuration.capturesAudio) {
        error = stream->addStreamOutput(r, StreamOutputType::audio, queue);
    }
    if (!error) {
        error = await([&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
    }
    return stream;
}

}  // namespace skylark::testing
