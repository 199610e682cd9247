#pragma once

// The caster's platform faked, every outcome chosen by the test, and a rig that builds a caster
// over it, with queues the test runs by hand or with real ones.

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caster/native_caster.hpp"
#include "common/serial_queue.hpp"

namespace skylark::test {

// Runs only when the test says so, on the test's thread.
class ManualQueue : public MainDispatcher {
  public:
    void post(std::function<void()> work) override { items_.push_back(std::move(work)); }
    bool runOne() {
        auto work = items_.empty() ? nullptr : std::move(items_.front());
        return work && (items_.pop_front(), work(), true);
    }
    int runAll() { return runOne() ? 1 + runAll() : 0; }
    std::deque<std::function<void()>> items_;
};

struct QueueMain : MainDispatcher {
    void post(std::function<void()> work) override { queue.post(std::move(work)); }
    SerialQueue queue{"test.main"};
};

struct RecordingTrace : Trace {
    void trace(std::string_view message) override {
        std::lock_guard guard(lock);
        lines.emplace_back(message);
    }
    long count(const std::string& prefix) {
        std::lock_guard guard(lock);
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
    std::mutex lock;
    std::vector<std::string> lines;
};

struct FakeFilter : ContentFilter {
    ContentSize contentRect() const override { return {1512, 982}; }
    float pointPixelScale() const override { return 2; }
};

// Reports its outcomes on the calling thread.
struct FakePicker : ContentPicker {
    void present(const ContentPickerConfiguration& c,
                 std::weak_ptr<ContentPickerObserver> o) override {
        ++presented, modes = c.allowedPickerModes, observers.push_back(o);
    }
    void select(std::shared_ptr<const ContentFilter> filter = std::make_shared<FakeFilter>()) {
        observer()->pickerDidChoose(*this, filter);
    }
    std::shared_ptr<ContentPickerObserver> observer() { return observers.at(0).lock(); }
    std::vector<std::weak_ptr<ContentPickerObserver>> observers;  // one per presentation
    int presented = 0;
    std::uint32_t modes = 0;
};

// Completions run inline, or wait for answer() while `hold` is set. Safe across threads.
class FakeStream : public CaptureStream {
  public:
    FakeStream(StreamConfiguration configuration, std::weak_ptr<CaptureStreamDelegate> delegate)
        : configuration(configuration), delegate_(std::move(delegate)) {}
    // Media goes through the rig, to the caster on its videoQueue.
    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput>, StreamOutputType type,
                                         std::shared_ptr<Executor>) override {
        return failOutput == type ? std::optional(kFailure) : std::nullopt;
    }
    void startCapture(CaptureCompletion done) override { answerOrHold({std::move(done), true}); }
    void stopCapture(CaptureCompletion done) override { answerOrHold({std::move(done), false}); }
    // Completes what is held, newest first: a start may succeed after a stop has completed (the
    // worst a platform may do). Whether anything was held.
    bool answer() {
        auto due = forget();
        for (auto it = due.rbegin(); it != due.rend(); ++it) {
            finish(*it);
        }
        return !due.empty();
    }
    std::vector<std::pair<CaptureCompletion, bool>> forget() {
        std::lock_guard guard(lock_);
        return std::exchange(held_, {});
    }
    void end() {  // an unexpected end, once
        if (ended_.exchange(true)) {
            return;
        }
        running_ = false;
        if (auto delegate = delegate_.lock()) {
            delegate->streamDidStopWithError(*this, kEnded);
        }
    }
    bool running() { return running_; }

    inline static const Error kFailure = Error{"test", 7, "Capture is unavailable."};
    inline static const Error kEnded = Error{"test", 8, "The window closed."};
    const StreamConfiguration configuration;
    std::optional<StreamOutputType> failOutput;  // these three: set before the caster sees it
    bool failStart = false, hold = false;
    int stops = 0;  // read only once the stream is quiet

  private:
    void answerOrHold(std::pair<CaptureCompletion, bool> call) {
        std::unique_lock guard(lock_);
        stops += !call.second;
        if (hold) {
            return held_.push_back(std::move(call));
        }
        guard.unlock();
        finish(call);
    }
    void finish(const std::pair<CaptureCompletion, bool>& call) {
        const bool failed = call.second && failStart;
        running_ = call.second && !failed;
        call.first(failed ? std::optional(kFailure) : std::nullopt);
    }

    const std::weak_ptr<CaptureStreamDelegate> delegate_;
    std::mutex lock_;
    std::vector<std::pair<CaptureCompletion, bool>> held_;
    std::atomic<bool> running_{false}, ended_{false};
};

// Used on the caster's videoQueue only, as the caster uses it.
struct FakeWriter : StreamWriter {
    FakeWriter(WriterSettings settings, std::weak_ptr<StreamWriterDelegate> delegate)
        : settings(settings), delegate(std::move(delegate)) {}
    bool start(std::int64_t time) override {
        started.push_back(time);
        state = failsToStart ? WriterStatus::failed : WriterStatus::writing;
        return !failsToStart;
    }
    bool isReadyFor(MediaKind) const override { return true; }
    bool appendVideo(const VideoFrame& f) override { return video.push_back(f.time_ns), true; }
    bool appendAudio(const AudioBuffer& b) override { return audio.push_back(b.time_ns), true; }
    void subscribe(std::weak_ptr<EncodedMediaSubscriber>) override {}
    WriterStatus status() const override { return state; }
    std::optional<Error> failure() const override { return error; }
    void cancel() override { ++cancels, state = WriterStatus::cancelled; }

    const WriterSettings settings;
    const std::weak_ptr<StreamWriterDelegate> delegate;
    WriterStatus state = WriterStatus::unknown;
    std::optional<Error> error;
    bool failsToStart = false;
    std::vector<std::int64_t> started, video, audio;
    int cancels = 0;
};

inline std::int64_t at(std::int64_t ms) {
    return ms * 1'000'000;
}
inline VideoFrame frame(std::int64_t ms) {
    static const auto pixels = std::make_shared<std::vector<std::uint8_t>>(32);
    const std::uint8_t* chroma = pixels->data() + 8;
    return {4,      2,          4, std::shared_ptr<const std::uint8_t>(pixels, pixels->data()),
            chroma, chroma + 2, 2, at(ms)};
}
inline AudioBuffer audio(std::int64_t ms) {
    static const auto samples = std::make_shared<std::vector<float>>(960);
    return {480, 2, 48000, std::shared_ptr<const float>(samples, samples->data()), at(ms)};
}

using Report = std::pair<bool, std::string>;
inline const Error kPickerFailed = Error{"test", 9, "No screen to share."};
inline const Error kWriterError = Error{"test", 5, "Encoder gone."};
inline const Error kNoH264 = Error{"test", 1, "No H.264."};

// A caster over the fakes. Its queues are run by hand unless real ones are given.
struct Rig {
    explicit Rig(std::shared_ptr<MainDispatcher> realMain = nullptr,
                 std::shared_ptr<Executor> realTasks = nullptr,
                 std::shared_ptr<Executor> realVideo = nullptr) {
        videoQueue = realVideo ? realVideo : video;
        CasterPlatform platform{
            picker,    {}, {}, realMain ? realMain : main, trace, realTasks ? realTasks : tasks,
            videoQueue};
        platform.makeStream = [this](auto, auto& configuration, auto d) -> CaptureStreamResult {
            if (streamError) {
                return *streamError;
            }
            auto stream = std::make_shared<FakeStream>(configuration, d);
            configureStream(*stream);
            std::lock_guard guard(lock);
            return streams.emplace_back(stream);
        };
        platform.makeWriter = [this](auto& settings, auto d) -> StreamWriterResult {
            if (writerRefusal) {
                return *writerRefusal;
            }
            auto writer = std::make_shared<FakeWriter>(settings, d);
            configureWriter(*writer);
            std::lock_guard guard(lock);
            return writers.emplace_back(writer);
        };
        caster = NativeCaster::create(store, platform);
        caster->setStateChanged([this](bool casting, auto& text) {
            reports.push_back({casting, text});
        });
    }
    ~Rig() {  // queued work and held completions hold the caster, which holds them
        for (auto& stream : streams) {
            stream->forget();
        }
        main->items_.clear(), tasks->items_.clear(), video->items_.clear();
    }
    void pump(bool withMain = true) {
        while ((withMain ? main->runAll() : 0) + tasks->runAll() + video->runAll() > 0) {
        }
    }
    void answerHeld() {
        while (!streams.empty() && streams.back()->answer()) {
            pump();
        }
    }
    template <class Media>
    void deliver(const Media& media) {  // as a capture does: on videoQueue
        videoQueue->post([caster = std::weak_ptr(caster), media] {
            if constexpr (std::is_same_v<Media, VideoFrame>) {
                caster.lock()->streamDidOutputVideo(media);
            } else {
                caster.lock()->streamDidOutputAudio(media);
            }
        });
        pump();
    }
    bool idle() { return !caster->isCasting() && !caster->isStopping() && !caster->hasStream(); }
    // Runs a script, one letter a step: S start, P select, C / x the picker is cancelled / fails,
    // p pump, c cast (SPp), s stop, e / E the newest / first capture ends, d deliver a frame and
    // audio, w tasks and videoQueue until empty, t / v one task / videoQueue item, a answer held
    // completions until none; the next streams: h hold their completions, n answer at once, F
    // fail to start, o / O refuse the screen / audio output, X cannot be made; the next writer:
    // W refuses the settings, B / b fails to start with / without an error; the writer now:
    // f / g fails with / without an error; r no more failures.
    void run(std::string_view script) {
        auto configure = [this](std::function<void(FakeStream&)> how) {
            return [this, how] { configureStream = how; };
        };
        const std::map<char, std::function<void()>> steps = {
            {'S', [this] { caster->start(); }},
            {'P', [this] { picker->select(); }},
            {'p', [this] { pump(); }},
            {'c', [this] { run("SPp"); }},
            {'s', [this] { caster->stop(); }},
            {'e', [this] { streams.back()->end(); }},
            {'w', [this] { pump(false); }},
            {'t', [this] { tasks->runOne(); }},
            {'v', [this] { video->runOne(); }},
            {'a', [this] { answerHeld(); }},
            {'h', configure([](FakeStream& s) { s.hold = true; })},
            {'n', configure([](FakeStream&) {})},
            {'F', configure([](FakeStream& s) { s.failStart = true; })},
            {'o', configure([](FakeStream& s) { s.failOutput = StreamOutputType::screen; })},
            {'O', configure([](FakeStream& s) { s.failOutput = StreamOutputType::audio; })},
            {'X', [this] { streamError = FakeStream::kFailure; }},
            {'W', [this] { writerRefusal = kNoH264; }},
            {'r', [this] { streamError.reset(), writerRefusal.reset(), run("n"); }},
            {'C', [this] { picker->observer()->pickerDidCancel(*picker); }},
            {'x', [this] { picker->observer()->pickerDidFail(kPickerFailed); }},
            {'E', [this] { streams.front()->end(); }},
            {'B',
             [this] {
                 configureWriter = [](auto& w) { w.failsToStart = true, w.error = kWriterError; };
             }},
            {'b', [this] { configureWriter = [](auto& w) { w.failsToStart = true; }; }},
            {'f', [this] { run("g"), writers.back()->error = kWriterError; }},
            {'g', [this] { writers.back()->state = WriterStatus::failed; }},
            {'d', [this] { deliver(frame(clock_ms)), deliver(audio(clock_ms += 33)); }},
        };
        for (char step : script) {
            steps.at(step)();
        }
    }

    std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>(),
                                 tasks = std::make_shared<ManualQueue>(),
                                 video = std::make_shared<ManualQueue>();
    std::shared_ptr<Executor> videoQueue;
    std::shared_ptr<LiveHLSStore> store = std::make_shared<LiveHLSStore>();
    std::shared_ptr<FakePicker> picker = std::make_shared<FakePicker>();
    std::shared_ptr<RecordingTrace> trace = std::make_shared<RecordingTrace>();
    std::optional<Error> streamError, writerRefusal;
    std::function<void(FakeStream&)> configureStream = [](FakeStream&) {};
    std::function<void(FakeWriter&)> configureWriter = [](FakeWriter&) {};
    std::mutex lock;  // guards the two lists against a platform thread
    std::vector<std::shared_ptr<FakeStream>> streams;
    std::vector<std::shared_ptr<FakeWriter>> writers;
    std::shared_ptr<NativeCaster> caster;
    std::vector<Report> reports;  // main thread
    std::int64_t clock_ms = 1000;
};

}  // namespace skylark::test
