// Many start/stop cycles with real threads: the main thread, the task queue and videoQueue are
// real serial queues, and the fakes answer on threads of their own, after random short delays,
// with occasional failures and unexpected ends. Run under ASan/UBSan and ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "caster/native_caster.hpp"
#include "common/serial_queue.hpp"
#include "hls/live_hls_store.hpp"
#include "unit/caster/fakes.hpp"

namespace skylark::test {
namespace {

using namespace std::chrono_literals;

class QueueMain : public MainDispatcher {
  public:
    void post(std::function<void()> work) override { queue.post(std::move(work)); }
    SerialQueue queue{"test.main"};
};

// Random numbers shared by the fakes' threads.
class Dice {
  public:
    int roll(int sides) {
        std::lock_guard guard(lock_);
        return std::uniform_int_distribution<int>(0, sides - 1)(engine_);
    }
    void nap(int maxMicroseconds) { std::this_thread::sleep_for(1us * roll(maxMicroseconds)); }

  private:
    std::mutex lock_;
    std::mt19937 engine_{12345};
};

// A stream that answers on its own thread and delivers samples from another while it runs.
class ThreadedStream : public CaptureStream {
  public:
    ThreadedStream(std::shared_ptr<Dice> dice, std::weak_ptr<CaptureStreamDelegate> delegate,
                   bool failStart, bool endByItself)
        : dice_(std::move(dice)),
          delegate_(std::move(delegate)),
          failStart_(failStart),
          endByItself_(endByItself) {}

    ~ThreadedStream() override {
        {
            std::lock_guard guard(lock_);
            producing_ = false;
            closing_ = true;  // a start still queued on thread_ starts no producer
        }
        if (producer_.joinable()) {
            producer_.join();
        }
        // thread_ (the completion thread) finishes its queued work and joins here.
    }

    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> output,
                                         StreamOutputType type,
                                         std::shared_ptr<Executor> queue) override {
        std::lock_guard guard(lock_);
        outputs_.push_back({std::move(output), type, std::move(queue)});
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        thread_.post([this, completion = std::move(completion)] {
            dice_->nap(500);
            if (failStart_) {
                completion(Error::withDescription("test", 1, "Start failed."));
                return;
            }
            {
                std::lock_guard guard(lock_);
                running_ = true;  // even after a stop: the worst a platform may do
                if (!producer_.joinable() && !closing_) {
                    producing_ = true;
                    producer_ = std::thread([this] { produce(); });
                }
            }
            completion(std::nullopt);
            if (endByItself_) {
                dice_->nap(300);
                {
                    std::lock_guard guard(lock_);
                    running_ = false;
                }
                if (auto delegate = delegate_.lock()) {
                    delegate->streamDidStopWithError(
                        *this, Error::withDescription("test", 2, "Ended by itself."));
                }
            }
        });
    }

    void stopCapture(CaptureCompletion completion) override {
        thread_.post([this, completion = std::move(completion)] {
            dice_->nap(300);
            {
                std::lock_guard guard(lock_);
                running_ = false;
            }
            completion(std::nullopt);
        });
    }

    bool isRunning() {
        std::lock_guard guard(lock_);
        return running_;
    }

  private:
    struct Output {
        std::weak_ptr<CaptureStreamOutput> output;
        StreamOutputType type;
        std::shared_ptr<Executor> queue;
    };

    void produce() {
        std::int64_t milliseconds = 0;
        for (;;) {
            std::vector<Output> targets;
            {
                std::lock_guard guard(lock_);
                if (!producing_) {
                    return;
                }
                if (running_) {
                    targets = outputs_;
                }
            }
            milliseconds += 10;
            for (const Output& target : targets) {
                SampleBuffer sample = target.type == StreamOutputType::screen ? frame(milliseconds)
                                                                              : audio(milliseconds);
                target.queue->post([output = target.output, sample, type = target.type] {
                    if (auto strong = output.lock()) {
                        strong->streamDidOutputSampleBuffer(sample, type);
                    }
                });
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::shared_ptr<Dice> dice_;
    std::weak_ptr<CaptureStreamDelegate> delegate_;
    const bool failStart_;
    const bool endByItself_;
    std::mutex lock_;
    std::vector<Output> outputs_;
    bool running_ = false;
    bool producing_ = false;
    bool closing_ = false;
    std::thread producer_;
    SerialQueue thread_{"test.capture"};  // declared last: destroyed (joined) first
};

class ThreadedInput : public SegmentWriterInput {
  public:
    explicit ThreadedInput(std::function<void()> onAppend) : onAppend_(std::move(onAppend)) {}
    void setExpectsMediaDataInRealTime(bool) override {}
    bool isReadyForMoreMediaData() const override { return true; }
    bool append(const SampleBuffer&) override {
        onAppend_();
        return true;
    }

  private:
    std::function<void()> onAppend_;
};

// A writer that emits a segment from its own thread every few appends.
class ThreadedWriter : public SegmentWriter {
  public:
    void setOutputFileTypeProfile(FileTypeProfile) override {}
    void setPreferredOutputSegmentInterval(MediaTime) override {}
    void setDelegate(std::weak_ptr<SegmentWriterDelegate> delegate) override {
        std::lock_guard guard(lock_);
        delegate_ = std::move(delegate);
    }
    std::shared_ptr<SegmentWriterInput> makeVideoInput(const VideoOutputSettings&) override {
        return std::make_shared<ThreadedInput>([this] { appended(); });
    }
    std::shared_ptr<SegmentWriterInput> makeAudioInput(const AudioOutputSettings&) override {
        return std::make_shared<ThreadedInput>([this] { appended(); });
    }
    bool canAdd(const SegmentWriterInput&) const override { return true; }
    void add(std::shared_ptr<SegmentWriterInput>) override {}
    void setInitialSegmentStartTime(MediaTime) override {}
    bool startWriting() override {
        std::lock_guard guard(lock_);
        status_ = SegmentWriterStatus::writing;
        emitLocked(SegmentType::initialization);
        return true;
    }
    void startSession(MediaTime) override {}
    SegmentWriterStatus status() const override {
        std::lock_guard guard(lock_);
        return status_;
    }
    std::optional<Error> error() const override { return std::nullopt; }
    void cancelWriting() override {
        std::lock_guard guard(lock_);
        status_ = SegmentWriterStatus::cancelled;
        ++cancels;
    }
    int cancelCount() {
        std::lock_guard guard(lock_);
        return cancels;
    }

  private:
    void appended() {
        std::lock_guard guard(lock_);
        if (++appends_ % 5 == 0 && status_ == SegmentWriterStatus::writing) {
            emitLocked(SegmentType::separable);
        }
    }
    void emitLocked(SegmentType type) {
        thread_.post([delegate = delegate_, type] {
            if (auto strong = delegate.lock()) {
                strong->segmentWriterDidOutputSegment(makeBuffer("segment"), type);
            }
        });
    }

    mutable std::mutex lock_;
    std::weak_ptr<SegmentWriterDelegate> delegate_;
    SegmentWriterStatus status_ = SegmentWriterStatus::unknown;
    int appends_ = 0;
    int cancels = 0;
    SerialQueue thread_{"test.writer"};
};

TEST(CasterStress, ManyStartStopCyclesAgainstThreadedFakes) {
    constexpr int kCycles = 150;
    auto dice = std::make_shared<Dice>();
    auto log = std::make_shared<EventLog>();
    auto store = std::make_shared<LiveHLSStore>();
    auto main = std::make_shared<QueueMain>();
    auto tasks = std::make_shared<SerialQueue>("test.tasks");
    auto video = std::make_shared<SerialQueue>("test.video");
    auto picker = std::make_shared<FakePicker>(log);
    auto trace = std::make_shared<RecordingTrace>();

    std::mutex made;
    std::vector<std::shared_ptr<ThreadedStream>> streams;
    std::vector<std::shared_ptr<ThreadedWriter>> writers;

    CasterPlatform platform;
    platform.picker = picker;
    platform.main = main;
    platform.tasks = tasks;
    platform.videoQueue = video;
    platform.trace = trace;
    platform.makeStream =
        [&](std::shared_ptr<const ContentFilter>, const StreamConfiguration&,
            std::weak_ptr<CaptureStreamDelegate> delegate) -> CaptureStreamResult {
        auto stream = std::make_shared<ThreadedStream>(dice, std::move(delegate),
                                                       dice->roll(8) == 0, dice->roll(6) == 0);
        std::lock_guard guard(made);
        streams.push_back(stream);
        return stream;
    };
    platform.makeWriter = [&]() -> std::shared_ptr<SegmentWriter> {
        auto writer = std::make_shared<ThreadedWriter>();
        std::lock_guard guard(made);
        writers.push_back(writer);
        return writer;
    };
    auto caster = NativeCaster::create(store, platform);

    // Checked on the main thread as each report arrives: no cast is reported as casting while
    // a stop is under way, nor between a stop's "Stopping…" and its "Ready". (isCasting may
    // already be false: the capture may end by itself on its own thread at any moment.)
    std::atomic<int> castingReports{0};
    std::atomic<int> staleCastingReports{0};
    std::string lastText;  // main thread only
    main->post([&] {
        caster->setStateChanged([&](bool casting, const std::string& text) {
            if (casting && text == "Casting screen + system audio") {
                ++castingReports;
                if (caster->isStopping() || lastText == "Stopping\u2026") {
                    ++staleCastingReports;
                }
            }
            lastText = text;
        });
    });

    auto onMain = [&](std::function<void()> work) { main->post(std::move(work)); };
    auto idle = [&] {
        std::atomic<bool> result{false};
        std::atomic<bool> done{false};
        onMain([&] {
            result = !caster->isCasting() && !caster->isStopping() && !caster->hasStream();
            done = true;
        });
        while (!done) {
            std::this_thread::yield();
        }
        return result.load();
    };
    // Stops that found a cast to stop (main thread only).
    auto stopCounted = [&](int& effective) {
        if (!caster->isStopping() && (caster->isCasting() || caster->hasStream())) {
            ++effective;
        }
        caster->stop();
    };
    int extraStops = 0;  // main thread only; read after a flush of the main queue
    // Stops until the caster is idle with nothing left in flight.
    auto settle = [&] {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (;;) {
            tasks->flush();
            video->flush();
            main->queue.flush();
            if (idle()) {
                // Twice in a row with every queue drained in between: nothing was in flight.
                tasks->flush();
                video->flush();
                main->queue.flush();
                if (idle()) {
                    return true;
                }
            }
            onMain([&] { stopCounted(extraStops); });
            std::this_thread::sleep_for(1ms);
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
    };

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        onMain([&] { caster->start(); });
        std::thread pickerThread([&] {
            dice->nap(200);
            picker->select();
        });
        if (cycle % 3 == 0) {
            // Let this cast run (when it can) before stopping it.
            const int before = castingReports;
            const auto until = std::chrono::steady_clock::now() + 500ms;
            while (castingReports == before && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(100us);
            }
            dice->nap(5000);
        } else {
            dice->nap(3000);
        }
        int cycleStops = 0;  // main thread only
        onMain([&] { stopCounted(cycleStops); });
        pickerThread.join();
        extraStops = 0;  // no stop of settle() is queued or running here
        ASSERT_TRUE(settle()) << "cycle " << cycle;
        main->queue.flush();
        // When this cycle's stop found its cast, that cast never came back: nothing was left
        // for another stop. (When it came before the selection was accepted, one more stop is
        // the user's way to end the cast.)
        if (cycleStops == 1) {
            EXPECT_EQ(extraStops, 0) << "cycle " << cycle;
        }
    }

    // Every capture that ever started has been stopped, every writer released; the store is
    // inactive; and no stopped cast was ever reported as casting.
    ASSERT_TRUE(settle());
    std::lock_guard guard(made);
    for (const auto& stream : streams) {
        EXPECT_FALSE(stream->isRunning());
    }
    for (const auto& writer : writers) {
        EXPECT_LE(writer->cancelCount(), 1);
    }
    EXPECT_FALSE(store->isLive());
    EXPECT_EQ(staleCastingReports, 0);
    EXPECT_GT(castingReports, 0);
    EXPECT_GT(streams.size(), 0u);
    onMain([&] { caster->setStateChanged(nullptr); });  // the handler refers to this frame
    main->queue.flush();
    std::printf("%d casting reports, %zu streams, %zu writers, %zu trace lines\n",
                castingReports.load(), streams.size(), writers.size(), trace->lines().size());
}

}  // namespace
}  // namespace skylark::test
