#pragma once

// Fakes of the caster's platform, for tests: each records its calls (also into one shared event
// log, to check the order of calls across objects) and lets the test choose every outcome.

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caster/capture_platform.hpp"
#include "caster/segment_writer.hpp"
#include "caster/trace_log.hpp"
#include "common/main_dispatcher.hpp"

namespace skylark::test {

// The order of calls across all fakes of one test.
class EventLog {
  public:
    void add(std::string event) {
        std::lock_guard guard(lock_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() const {
        std::lock_guard guard(lock_);
        return events_;
    }
    void clear() {
        std::lock_guard guard(lock_);
        events_.clear();
    }

  private:
    mutable std::mutex lock_;
    std::vector<std::string> events_;
};

// A queue that runs only when the test says so, on the test's thread: the deterministic main
// thread, task pool and videoQueue of the unit tests.
class ManualQueue : public MainDispatcher {
  public:
    void post(std::function<void()> work) override {
        std::lock_guard guard(lock_);
        items_.push_back(std::move(work));
    }
    // Runs the items queued now and those they queue, until none is left; how many ran.
    int runAll() {
        int count = 0;
        while (runOne()) {
            ++count;
        }
        return count;
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
    std::size_t size() const {
        std::lock_guard guard(lock_);
        return items_.size();
    }
    // Drops what is queued, unrun (the end of a test: breaks the cycles that queued work
    // holding the caster forms with the caster holding its queues).
    void clear() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard guard(lock_);
            dropped.swap(items_);
        }
    }

  private:
    mutable std::mutex lock_;
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
    bool contains(const std::string& line) const {
        std::lock_guard guard(lock_);
        for (const auto& l : lines_) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    void clear() {
        std::lock_guard guard(lock_);
        lines_.clear();
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

inline std::shared_ptr<const ContentFilter> makeFilter(double width = 1512, double height = 982,
                                                       float scale = 2) {
    return std::make_shared<FakeFilter>(width, height, scale);
}

class FakePicker : public ContentPicker {
  public:
    explicit FakePicker(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}

    void addObserver(std::weak_ptr<ContentPickerObserver> observer) override {
        std::lock_guard guard(lock_);
        observers_.push_back(std::move(observer));
        log_->add("picker.addObserver");
    }
    void setDefaultConfiguration(const ContentPickerConfiguration& configuration) override {
        std::lock_guard guard(lock_);
        configuration_ = configuration;
        log_->add("picker.setDefaultConfiguration");
    }
    void setActive(bool active) override {
        active_ = active;
        log_->add(active ? "picker.setActive(true)" : "picker.setActive(false)");
    }
    void present() override {
        ++presentCount;
        log_->add("picker.present");
    }

    // The outcomes, on the calling thread.
    void select(std::shared_ptr<const ContentFilter> filter = makeFilter()) {
        for (auto& observer : observers()) {
            observer->contentSharingPickerDidUpdate(*this, filter);
        }
    }
    void cancel() {
        for (auto& observer : observers()) {
            observer->contentSharingPickerDidCancel(*this);
        }
    }
    void fail(const Error& error) {
        for (auto& observer : observers()) {
            observer->contentSharingPickerStartDidFail(error);
        }
    }

    std::size_t observerCount() const {
        std::lock_guard guard(lock_);
        return observers_.size();
    }
    std::optional<ContentPickerConfiguration> configuration() const {
        std::lock_guard guard(lock_);
        return configuration_;
    }
    bool active() const { return active_; }
    std::atomic<int> presentCount{0};

  private:
    std::vector<std::shared_ptr<ContentPickerObserver>> observers() {
        std::lock_guard guard(lock_);
        std::vector<std::shared_ptr<ContentPickerObserver>> live;
        for (auto& weak : observers_) {
            if (auto strong = weak.lock()) {
                live.push_back(strong);
            }
        }
        return live;
    }

    std::shared_ptr<EventLog> log_;
    mutable std::mutex lock_;
    std::vector<std::weak_ptr<ContentPickerObserver>> observers_;
    std::optional<ContentPickerConfiguration> configuration_;
    std::atomic<bool> active_{false};
};

// A capture stream whose outcomes the test chooses. By default every call succeeds and every
// completion is called inline; with holdStart / holdStop the completion waits for the test.
class FakeStream : public CaptureStream, public std::enable_shared_from_this<FakeStream> {
  public:
    struct Output {
        std::weak_ptr<CaptureStreamOutput> output;
        StreamOutputType type;
        std::shared_ptr<Executor> queue;
    };

    FakeStream(std::shared_ptr<EventLog> log, std::shared_ptr<const ContentFilter> filter,
               StreamConfiguration configuration, std::weak_ptr<CaptureStreamDelegate> delegate)
        : filter(std::move(filter)),
          configuration(configuration),
          log_(std::move(log)),
          delegate_(std::move(delegate)) {}

    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> output,
                                         StreamOutputType type,
                                         std::shared_ptr<Executor> queue) override {
        std::lock_guard guard(lock_);
        log_->add(std::string("stream.addStreamOutput(") +
                  (type == StreamOutputType::screen ? "screen" : "audio") + ")");
        if (auto it = addOutputErrors.find(type); it != addOutputErrors.end()) {
            return it->second;
        }
        outputs.push_back({std::move(output), type, std::move(queue)});
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        log_->add("stream.startCapture");
        if (onStart) {
            onStart();
        }
        std::unique_lock guard(lock_);
        if (holdStart) {
            pendingStart_ = std::move(completion);
            return;
        }
        const std::optional<Error> error = startError;
        if (!error) {
            running = true;
        }
        guard.unlock();
        completion(error);
    }

    void stopCapture(CaptureCompletion completion) override {
        log_->add("stream.stopCapture");
        std::unique_lock guard(lock_);
        ++stopCount;
        running = false;
        stopped = true;
        if (holdStop) {
            pendingStop_ = std::move(completion);
            return;
        }
        const std::optional<Error> error = stopError;
        guard.unlock();
        completion(error);
    }

    // Completes a held start or stop.
    void completeStart(std::optional<Error> error = std::nullopt) {
        CaptureCompletion completion;
        {
            std::lock_guard guard(lock_);
            completion = std::move(pendingStart_);
            pendingStart_ = nullptr;
            // A start that succeeds runs, even after a stop came while it was pending (the
            // worst a platform may do): the caster must stop it again.
            if (!error) {
                running = true;
            }
        }
        completion(std::move(error));
    }
    void completeStop(std::optional<Error> error = std::nullopt) {
        CaptureCompletion completion;
        {
            std::lock_guard guard(lock_);
            completion = std::move(pendingStop_);
            pendingStop_ = nullptr;
        }
        completion(std::move(error));
    }
    // Drops held completions unrun (the end of a test).
    void dropPending() {
        CaptureCompletion start;
        CaptureCompletion stop;
        std::lock_guard guard(lock_);
        start.swap(pendingStart_);
        stop.swap(pendingStop_);
    }
    bool startPending() const {
        std::lock_guard guard(lock_);
        return pendingStart_ != nullptr;
    }
    bool stopPending() const {
        std::lock_guard guard(lock_);
        return pendingStop_ != nullptr;
    }

    // Posts a sample to the queue of the output of `type` (as a real capture does).
    void deliver(const SampleBuffer& sample, StreamOutputType type) {
        std::vector<Output> targets;
        {
            std::lock_guard guard(lock_);
            targets = outputs;
        }
        for (const Output& target : targets) {
            // Samples of types without an output of their own go to the screen output, to
            // exercise the caster's drop of unknown types.
            const bool matches = target.type == type || (type != StreamOutputType::screen &&
                                                         type != StreamOutputType::audio &&
                                                         target.type == StreamOutputType::screen);
            if (matches) {
                target.queue->post([output = target.output, sample, type] {
                    if (auto strong = output.lock()) {
                        strong->streamDidOutputSampleBuffer(sample, type);
                    }
                });
            }
        }
    }

    // Reports an unexpected end to the delegate, on the calling thread.
    void endWithError(const Error& error) {
        {
            std::lock_guard guard(lock_);
            running = false;
        }
        if (auto delegate = delegate_.lock()) {
            delegate->streamDidStopWithError(*this, error);
        }
    }

    std::size_t outputCount() const {
        std::lock_guard guard(lock_);
        return outputs.size();
    }
    bool isRunning() const {
        std::lock_guard guard(lock_);
        return running;
    }

    // Chosen by the test before the call.
    std::map<StreamOutputType, Error> addOutputErrors;
    std::optional<Error> startError;
    std::optional<Error> stopError;
    bool holdStart = false;
    bool holdStop = false;
    std::function<void()> onStart;

    // Recorded.
    const std::shared_ptr<const ContentFilter> filter;
    const StreamConfiguration configuration;
    std::vector<Output> outputs;
    bool running = false;
    bool stopped = false;
    int stopCount = 0;

  private:
    std::shared_ptr<EventLog> log_;
    std::weak_ptr<CaptureStreamDelegate> delegate_;
    mutable std::mutex lock_;
    CaptureCompletion pendingStart_;
    CaptureCompletion pendingStop_;
};

// Makes FakeStreams; `configure` prepares each new one before the caster sees it.
class FakeStreamFactory {
  public:
    explicit FakeStreamFactory(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}

    CaptureStreamFactory factory() {
        return [this](std::shared_ptr<const ContentFilter> filter,
                      const StreamConfiguration& configuration,
                      std::weak_ptr<CaptureStreamDelegate> delegate) -> CaptureStreamResult {
            log_->add("makeStream");
            if (createError) {
                return *createError;
            }
            auto stream = std::make_shared<FakeStream>(log_, std::move(filter), configuration,
                                                       std::move(delegate));
            if (configure) {
                configure(*stream);
            }
            std::lock_guard guard(lock_);
            streams_.push_back(stream);
            return stream;
        };
    }
    std::vector<std::shared_ptr<FakeStream>> streams() const {
        std::lock_guard guard(lock_);
        return streams_;
    }
    std::shared_ptr<FakeStream> last() const {
        std::lock_guard guard(lock_);
        return streams_.empty() ? nullptr : streams_.back();
    }

    std::optional<Error> createError;
    std::function<void(FakeStream&)> configure;

  private:
    std::shared_ptr<EventLog> log_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<FakeStream>> streams_;
};

class FakeInput : public SegmentWriterInput {
  public:
    FakeInput(std::string kind, std::shared_ptr<EventLog> log)
        : kind(std::move(kind)), log_(std::move(log)) {}
    void setExpectsMediaDataInRealTime(bool realTime) override { expectsRealTime = realTime; }
    bool isReadyForMoreMediaData() const override { return ready; }
    bool append(const SampleBuffer& sample) override {
        std::lock_guard guard(lock_);
        appended.push_back(sample.presentationTimeStamp);
        return appendResult;
    }
    std::vector<MediaTime> appendedTimes() const {
        std::lock_guard guard(lock_);
        return appended;
    }

    const std::string kind;
    std::atomic<bool> expectsRealTime{false};
    std::atomic<bool> ready{true};
    std::atomic<bool> appendResult{true};
    std::optional<VideoOutputSettings> videoSettings;
    std::optional<AudioOutputSettings> audioSettings;

  private:
    std::shared_ptr<EventLog> log_;
    mutable std::mutex lock_;
    std::vector<MediaTime> appended;
};

class FakeWriter : public SegmentWriter {
  public:
    explicit FakeWriter(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}

    void setOutputFileTypeProfile(FileTypeProfile value) override {
        profile = value;
        log_->add("writer.setOutputFileTypeProfile");
    }
    void setPreferredOutputSegmentInterval(MediaTime interval) override {
        segmentInterval = interval;
        log_->add("writer.setPreferredOutputSegmentInterval");
    }
    void setDelegate(std::weak_ptr<SegmentWriterDelegate> value) override {
        std::lock_guard guard(lock_);
        delegate = std::move(value);
        log_->add("writer.setDelegate");
    }
    std::shared_ptr<SegmentWriterInput> makeVideoInput(const VideoOutputSettings& s) override {
        videoInput = std::make_shared<FakeInput>("video", log_);
        videoInput->videoSettings = s;
        log_->add("writer.makeVideoInput");
        return videoInput;
    }
    std::shared_ptr<SegmentWriterInput> makeAudioInput(const AudioOutputSettings& s) override {
        audioInput = std::make_shared<FakeInput>("audio", log_);
        audioInput->audioSettings = s;
        log_->add("writer.makeAudioInput");
        return audioInput;
    }
    bool canAdd(const SegmentWriterInput& input) const override {
        const bool video = &input == videoInput.get();
        log_->add(video ? "writer.canAdd(video)" : "writer.canAdd(audio)");
        return video ? canAddVideo : canAddAudio;
    }
    void add(std::shared_ptr<SegmentWriterInput> input) override {
        log_->add(input == videoInput ? "writer.add(video)" : "writer.add(audio)");
        added.push_back(std::move(input));
    }
    void setInitialSegmentStartTime(MediaTime time) override {
        initialSegmentStartTime = time;
        log_->add("writer.setInitialSegmentStartTime");
    }
    bool startWriting() override {
        log_->add("writer.startWriting");
        std::lock_guard guard(lock_);
        if (startWritingResult) {
            status_ = SegmentWriterStatus::writing;
        } else {
            status_ = SegmentWriterStatus::failed;
            error_ = startWritingError;
        }
        return startWritingResult;
    }
    void startSession(MediaTime time) override {
        sessionStart = time;
        log_->add("writer.startSession");
    }
    SegmentWriterStatus status() const override {
        std::lock_guard guard(lock_);
        return status_;
    }
    std::optional<Error> error() const override {
        std::lock_guard guard(lock_);
        return error_;
    }
    void cancelWriting() override {
        log_->add("writer.cancelWriting");
        std::lock_guard guard(lock_);
        status_ = SegmentWriterStatus::cancelled;
        ++cancelCount;
    }

    // The test's controls.
    void fail(std::optional<Error> error) {
        std::lock_guard guard(lock_);
        status_ = SegmentWriterStatus::failed;
        error_ = std::move(error);
    }
    void emit(ByteBuffer data, SegmentType type) {
        std::shared_ptr<SegmentWriterDelegate> strong;
        {
            std::lock_guard guard(lock_);
            strong = delegate.lock();
        }
        if (strong) {
            strong->segmentWriterDidOutputSegment(std::move(data), type);
        }
    }
    int cancels() const {
        std::lock_guard guard(lock_);
        return cancelCount;
    }

    bool canAddVideo = true;
    bool canAddAudio = true;
    bool startWritingResult = true;
    std::optional<Error> startWritingError;

    std::optional<FileTypeProfile> profile;
    std::optional<MediaTime> segmentInterval;
    std::weak_ptr<SegmentWriterDelegate> delegate;
    std::shared_ptr<FakeInput> videoInput;
    std::shared_ptr<FakeInput> audioInput;
    std::vector<std::shared_ptr<SegmentWriterInput>> added;
    std::optional<MediaTime> initialSegmentStartTime;
    std::optional<MediaTime> sessionStart;

  private:
    std::shared_ptr<EventLog> log_;
    mutable std::mutex lock_;
    SegmentWriterStatus status_ = SegmentWriterStatus::unknown;
    std::optional<Error> error_;
    int cancelCount = 0;
};

class FakeWriterFactory {
  public:
    explicit FakeWriterFactory(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}
    SegmentWriterFactory factory() {
        return [this]() -> std::shared_ptr<SegmentWriter> {
            log_->add("makeWriter");
            auto writer = std::make_shared<FakeWriter>(log_);
            if (configure) {
                configure(*writer);
            }
            std::lock_guard guard(lock_);
            writers_.push_back(writer);
            return writer;
        };
    }
    std::vector<std::shared_ptr<FakeWriter>> writers() const {
        std::lock_guard guard(lock_);
        return writers_;
    }
    std::shared_ptr<FakeWriter> last() const {
        std::lock_guard guard(lock_);
        return writers_.empty() ? nullptr : writers_.back();
    }
    std::function<void(FakeWriter&)> configure;

  private:
    std::shared_ptr<EventLog> log_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<FakeWriter>> writers_;
};

// Samples.
inline MediaTime at(std::int64_t milliseconds) {
    return MediaTime::make(milliseconds, 1000);
}

inline ImageBuffer makeImage(std::int32_t width = 4, std::int32_t height = 2) {
    auto pixels = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[width * height * 4]());
    return ImageBuffer{width, height, width * 4,
                       std::shared_ptr<const std::uint8_t>(pixels, pixels.get())};
}

inline SampleBuffer frame(std::int64_t milliseconds, FrameStatus status = FrameStatus::complete) {
    return SampleBuffer::screenFrame(makeImage(), at(milliseconds), status);
}

inline SampleBuffer audio(std::int64_t milliseconds) {
    auto samples = std::shared_ptr<float[]>(new float[480 * 2]());
    return SampleBuffer::audio(
        AudioBuffer{480, 2, 48000, std::shared_ptr<const float>(samples, samples.get())},
        at(milliseconds));
}

}  // namespace skylark::test
