#pragma once

// The caster's platform faked: every outcome chosen by the test, every queue run by hand.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caster/capture_platform.hpp"
#include "caster/stream_writer.hpp"
#include "common/main_dispatcher.hpp"
#include "common/trace_log.hpp"
#include "hls/live_hls_store.hpp"

namespace skylark::test {

// A queue the test runs on its own thread: main thread, task pool and videoQueue alike.
class ManualQueue : public MainDispatcher {
  public:
    void post(std::function<void()> work) override {
        std::lock_guard guard(lock_);
        items_.push_back(std::move(work));
    }
    bool runOne() {
        std::function<void()> work;
        {
            std::lock_guard guard(lock_);
            if (items_.empty()) {
                return false;
            }
            work = std::move(items_.front());
            items_.pop_front();
        }
        work();
        return true;
    }
    int runAll() {
        int count = 0;
        while (runOne()) {
            ++count;
        }
        return count;
    }
    // Drops queued work unrun: it holds the caster, which holds this queue.
    void clear() {
        std::deque<std::function<void()>> dropped;
        std::lock_guard guard(lock_);
        dropped.swap(items_);
    }

  private:
    std::mutex lock_;
    std::deque<std::function<void()>> items_;
};

class RecordingTrace : public Trace {
  public:
    void trace(std::string_view message) override {
        std::lock_guard guard(lock_);
        lines_.emplace_back(message);
    }
    std::vector<std::string> lines() const {
        std::lock_guard guard(lock_);
        return lines_;
    }

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

class FakeFilter : public ContentFilter {
  public:
    FakeFilter(double width, double height, float scale) : size_{width, height}, scale_(scale) {}
    ContentSize contentRect() const override { return size_; }
    float pointPixelScale() const override { return scale_; }

  private:
    ContentSize size_;
    float scale_;
};

class FakePicker : public ContentPicker {
  public:
    void addObserver(std::weak_ptr<ContentPickerObserver> observer) override {
        std::lock_guard guard(lock_);
        observers.push_back(std::move(observer));
    }
    void setDefaultConfiguration(const ContentPickerConfiguration&) override {}
    void setActive(bool) override {}
    void present() override { ++presented; }

    // The outcomes, reported on the calling thread.
    void select(double width = 1512, double height = 982, float scale = 2) {
        auto filter = std::make_shared<FakeFilter>(width, height, scale);
        each([&](ContentPickerObserver& o) { o.contentSharingPickerDidUpdate(*this, filter); });
    }
    void cancel() {
        each([&](ContentPickerObserver& o) { o.contentSharingPickerDidCancel(*this); });
    }
    void fail(const Error& error) {
        each([&](ContentPickerObserver& o) { o.contentSharingPickerStartDidFail(error); });
    }

    std::vector<std::weak_ptr<ContentPickerObserver>> observers;
    int presented = 0;

  private:
    std::mutex lock_;
    void each(const std::function<void(ContentPickerObserver&)>& call) {
        std::unique_lock guard(lock_);
        const auto current = observers;
        guard.unlock();
        for (auto& weak : current) {
            if (auto observer = weak.lock()) {
                call(*observer);
            }
        }
    }
};

// Completions run inline unless the test holds them.
class FakeStream : public CaptureStream {
  public:
    FakeStream(StreamConfiguration configuration, std::weak_ptr<CaptureStreamDelegate> delegate)
        : configuration(configuration), delegate_(std::move(delegate)) {}

    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> o,
                                         StreamOutputType type,
                                         std::shared_ptr<Executor> queue) override {
        if (failOutput == type) {
            return kFailure;
        }
        output = std::move(o);
        queue_ = std::move(queue);
        return std::nullopt;
    }
    void startCapture(CaptureCompletion completion) override {
        if (holdStart) {
            pendingStart = std::move(completion);
            return;
        }
        running = !failStart;
        completion(failStart ? std::optional<Error>(kFailure) : std::nullopt);
    }
    void stopCapture(CaptureCompletion completion) override {
        ++stops;
        running = false;
        completion(std::nullopt);
    }
    // A held start succeeds even after a stop came meanwhile: the worst a platform may do.
    void completeStart() {
        running = true;
        std::exchange(pendingStart, nullptr)(std::nullopt);
    }
    void deliver(const VideoFrame& frame) {
        queue_->post([o = output, frame] {
            if (auto strong = o.lock()) {
                strong->streamDidOutputVideo(frame);
            }
        });
    }
    void deliver(const AudioBuffer& buffer) {
        queue_->post([o = output, buffer] {
            if (auto strong = o.lock()) {
                strong->streamDidOutputAudio(buffer);
            }
        });
    }
    void end() {
        running = false;
        if (auto delegate = delegate_.lock()) {
            delegate->streamDidStopWithError(*this, kEnded);
        }
    }

    inline static const Error kFailure =
        Error::withDescription("test.capture", 7, "Capture is unavailable.");
    inline static const Error kEnded =
        Error::withDescription("test.capture", 8, "The window closed.");
    const StreamConfiguration configuration;
    std::optional<StreamOutputType> failOutput;
    bool failStart = false;
    bool holdStart = false;
    CaptureCompletion pendingStart;
    bool running = false;
    int stops = 0;
    std::weak_ptr<CaptureStreamOutput> output;

  private:
    std::weak_ptr<CaptureStreamDelegate> delegate_;
    std::shared_ptr<Executor> queue_;
};

class FakeWriter : public StreamWriter {
  public:
    FakeWriter(WriterSettings settings, std::weak_ptr<StreamWriterDelegate> delegate)
        : settings(settings), delegate(std::move(delegate)) {}
    bool start(MediaTime time) override {
        started.push_back(time);
        status_ = startFailure || failsToStart ? WriterStatus::failed : WriterStatus::writing;
        failure_ = startFailure;
        return status_ == WriterStatus::writing;
    }
    bool isReadyFor(MediaKind) const override { return ready; }
    bool appendVideo(const VideoFrame& frame) override {
        video.push_back(frame.time);
        return appendResult;
    }
    bool appendAudio(const AudioBuffer& buffer) override {
        audio.push_back(buffer.time);
        return appendResult;
    }
    WriterStatus status() const override { return status_; }
    std::optional<Error> failure() const override { return failure_; }
    void cancel() override {
        ++cancels;
        status_ = WriterStatus::cancelled;
    }
    void fail(std::optional<Error> error) {
        status_ = WriterStatus::failed;
        failure_ = std::move(error);
    }

    const WriterSettings settings;
    const std::weak_ptr<StreamWriterDelegate> delegate;
    std::optional<Error> startFailure;
    bool failsToStart = false;
    bool ready = true;
    bool appendResult = true;
    std::vector<MediaTime> started, video, audio;
    int cancels = 0;

  private:
    WriterStatus status_ = WriterStatus::unknown;
    std::optional<Error> failure_;
};

inline MediaTime at(std::int64_t milliseconds) {
    return MediaTime::make(milliseconds, 1000);
}

inline VideoFrame frame(std::int64_t milliseconds) {
    static const auto pixels = std::make_shared<std::vector<std::uint8_t>>(4 * 2 * 4);
    return VideoFrame{4, 2, 16, std::shared_ptr<const std::uint8_t>(pixels, pixels->data()),
                      at(milliseconds)};
}

inline AudioBuffer audio(std::int64_t milliseconds) {
    static const auto samples = std::make_shared<std::vector<float>>(480 * 2);
    return AudioBuffer{480, 2, 48000, std::shared_ptr<const float>(samples, samples->data()),
                       at(milliseconds)};
}

inline bool storeActive(const LiveHLSStore& store) {
    return asText(*store.statusJSON()) == "{\"active\":true}";
}

}  // namespace skylark::test
