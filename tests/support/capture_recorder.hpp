#pragma once

// The caster's side of a real picker and capture stream: what they reported, on which thread
// or queue, and when.
#include <algorithm>
#include <future>
#include <mutex>
#include <thread>

#include "caster/capture_platform.hpp"
#include "common/serial_queue.hpp"
#include "common/trace_log.hpp"
#include "support/child_process.hpp"

namespace skylark::testing {

struct Delivery {
    bool video = false;
    double seconds = 0;  // its media time
    double arrival = 0;  // the monotonic clock when it arrived, in seconds
    bool onQueue = false;
    const void* picture = nullptr;  // the video frame's storage
};

class CaptureRecorder : public CaptureStreamOutput,
                        public CaptureStreamDelegate,
                        public std::enable_shared_from_this<CaptureRecorder> {
  public:
    explicit CaptureRecorder(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}
    std::shared_ptr<CaptureStream> start(const CaptureStreamFactory& factory,
                                         std::shared_ptr<const ContentFilter> filter, int width,
                                         int height, bool audio, std::optional<Error>& error);

    void streamDidOutputVideo(const VideoFrame& frame) override {
        record(true, frame.time_ns, frame.pixels.get());
        std::lock_guard lock(mutex_);
        frame_ = frame;  // only the newest is held: the capture's pool is small
    }
    void streamDidOutputAudio(const AudioBuffer& buffer) override { record(false, buffer.time_ns); }
    void record(bool video, std::int64_t time_ns, const void* picture = nullptr) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const Delivery d{video, time_ns / 1e9, std::chrono::duration<double>(now).count(),
                         queue_ && queue_->isCurrent(), picture};
        std::lock_guard lock(mutex_);
        seen_.push_back(d);
    }
    void streamDidStopWithError(CaptureStream&, const Error& error) override {
        std::lock_guard lock(mutex_);
        ends_.push_back(error);
    }

    std::vector<Delivery> seen() { return locked(seen_); }
    std::vector<Error> ends() { return locked(ends_); }
    bool waitFor(bool video, size_t n) {
        return pollUntil(
            [&] {
                std::lock_guard lock(mutex_);
                return std::count_if(seen_.begin(), seen_.end(),
                                     [&](auto& d) { return d.video == video; }) >= long(n);
            },
            milliseconds(10000));
    }
    bool waitEnd() {
        return pollUntil([&] { return !ends().empty(); }, milliseconds(10000));
    }
    // The newest frame's width, and its 0xRRGGBB value at (x, y) (no colour before the first;
    // YUV decoded as BT.601 limited range).
    int width() { return locked(frame_).width; }
    std::uint32_t rgbAt(int x, int y) {
        std::lock_guard lock(mutex_);
        const VideoFrame& f = frame_;
        if (!f.pixels) {
            return ~0u;
        }
        const int c = 298 * (f.pixels.get()[f.stride_bytes * y + x] - 16) + 128;
        const int d = f.u[f.chroma_stride_bytes * (y / 2) + x / 2] - 128;
        const int e = f.v[f.chroma_stride_bytes * (y / 2) + x / 2] - 128;
        std::uint32_t rgb = 0;
        for (int channel : {c + 409 * e, c - 100 * d - 208 * e, c + 516 * d}) {
            rgb = rgb << 8 | std::uint32_t(std::clamp(channel >> 8, 0, 255));
        }
        return rgb;
    }
    // Whether (x, y) shows `rgb`, give or take what YUV rounding changes.
    bool shows(int x, int y, std::uint32_t rgb) {
        const std::uint32_t seen = rgbAt(x, y);
        if (seen > 0xffffff) {
            return false;
        }
        for (int shift : {0, 8, 16}) {
            if (std::abs(int(seen >> shift & 0xff) - int(rgb >> shift & 0xff)) > 6) {
                return false;
            }
        }
        return true;
    }

  private:
    template <class T>
    T locked(const T& value) {
        std::lock_guard lock(mutex_);
        return value;
    }
    std::shared_ptr<SerialQueue> queue_;
    std::mutex mutex_;
    std::vector<Delivery> seen_;
    std::vector<Error> ends_;
    VideoFrame frame_;
};

// The caster's side of a picker: each outcome as "selected", "cancelled" or "failed: <text>".
struct PickerOutcomes : ContentPickerObserver {
    void pickerDidChoose(ContentPicker&, std::shared_ptr<const ContentFilter> chosen) override {
        filter = std::move(chosen);
        record("selected");
    }
    void pickerDidCancel(ContentPicker&) override { record("cancelled"); }
    void pickerDidFail(const Error& error) override {
        record("failed: " + error.localizedDescription());
    }
    void record(const std::string& what) {
        seen.push_back(what);
        // Never from inside present(), always on the thread that presented.
        wellReported = wellReported && !presenting && std::this_thread::get_id() == main;
    }
    std::vector<std::string> seen;
    std::shared_ptr<const ContentFilter> filter;
    bool presenting = false, wellReported = true;
    std::thread::id main = std::this_thread::get_id();
};

// Keeps a capture's diagnostics out of the user's trace file.
struct QuietTrace : Trace {
    void trace(std::string_view) override {}
};

// Runs a start or stop and waits for its one completion ("no completion" when none comes).
inline std::optional<Error> await(const std::function<void(CaptureCompletion)>& call) {
    auto done = std::make_shared<std::promise<std::optional<Error>>>();
    auto result = done->get_future();
    call([done](std::optional<Error> error) { done->set_value(std::move(error)); });
    if (result.wait_for(std::chrono::seconds(15)) != std::future_status::ready) {
        return Error{"test", 0, "no completion"};
    }
    return result.get();
}

// Makes a stream from `factory` of what the caster asks for at `width` x `height`, adds the
// recorder as its outputs on its queue and starts it. The stream, with the first error on the
// way in `error`.
inline std::shared_ptr<CaptureStream> CaptureRecorder::start(
    const CaptureStreamFactory& factory, std::shared_ptr<const ContentFilter> filter, int width,
    int height, bool audio, std::optional<Error>& error) {
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.minimumFrameInterval_ns = 1'000'000'000 / 30;
    c.queueDepth = 5;
    c.capturesAudio = audio;
    CaptureStreamResult made = factory(std::move(filter), c, shared_from_this());
    if (auto* e = std::get_if<Error>(&made)) {
        error = *e;
        return nullptr;
    }
    auto stream = std::get<std::shared_ptr<CaptureStream>>(made);
    error = stream->addStreamOutput(shared_from_this(), StreamOutputType::screen, queue_);
    if (!error && audio) {
        error = stream->addStreamOutput(shared_from_this(), StreamOutputType::audio, queue_);
    }
    if (!error) {
        error = await([&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
    }
    return stream;
}

}  // namespace skylark::testing
