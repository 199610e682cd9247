// Many start/stop cycles with real threads: the main thread, the task queue and videoQueue are
// real serial queues, and the fakes answer on threads of their own after random short delays,
// with occasional failures and unexpected ends. Run under ASan/UBSan and ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "caster/native_caster.hpp"
#include "common/serial_queue.hpp"
#include "unit/caster/fakes.hpp"

namespace skylark::test {
namespace {

using namespace std::chrono_literals;

class QueueMain : public MainDispatcher {
  public:
    void post(std::function<void()> work) override { queue.post(std::move(work)); }
    SerialQueue queue{"test.main"};
};

std::mutex diceLock;
std::mt19937 dice{12345};
int roll(int sides) {
    std::lock_guard guard(diceLock);
    return std::uniform_int_distribution<int>(0, sides - 1)(dice);
}
void nap(int maxMicroseconds) {
    std::this_thread::sleep_for(1us * roll(maxMicroseconds));
}

// Answers on its own thread and, once started, delivers media from another.
class ThreadedStream : public CaptureStream {
  public:
    ThreadedStream(std::weak_ptr<CaptureStreamDelegate> delegate, bool failStart, bool endsItself)
        : delegate_(std::move(delegate)), failStart_(failStart), endsItself_(endsItself) {}
    ~ThreadedStream() override {
        {
            std::lock_guard guard(lock_);
            closing_ = true;  // a start still queued on thread_ starts no producer
        }
        if (producer_.joinable()) {
            producer_.join();
        }
    }
    std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> output,
                                         StreamOutputType,
                                         std::shared_ptr<Executor> queue) override {
        std::lock_guard guard(lock_);
        output_ = std::move(output);
        queue_ = std::move(queue);
        return std::nullopt;
    }
    void startCapture(CaptureCompletion completion) override {
        thread_.post([this, completion = std::move(completion)] {
            nap(500);
            if (failStart_) {
                return completion(Error::withDescription("test", 1, "Start failed."));
            }
            {
                std::lock_guard guard(lock_);
                running_ = true;  // even after a stop: the worst a platform may do
                if (!producer_.joinable() && !closing_) {
                    producer_ = std::thread([this] { produce(); });
                }
            }
            completion(std::nullopt);
            if (endsItself_) {
                nap(300);
                setRunning(false);
                if (auto delegate = delegate_.lock()) {
                    delegate->streamDidStopWithError(*this,
                                                     Error::withDescription("test", 2, "End."));
                }
            }
        });
    }
    void stopCapture(CaptureCompletion completion) override {
        thread_.post([this, completion = std::move(completion)] {
            nap(300);
            setRunning(false);
            completion(std::nullopt);
        });
    }
    bool isRunning() {
        std::lock_guard guard(lock_);
        return running_;
    }

  private:
    void setRunning(bool running) {
        std::lock_guard guard(lock_);
        running_ = running;
    }
    void produce() {
        for (std::int64_t ms = 0;; ms += 10) {
            {
                std::lock_guard guard(lock_);
                if (closing_) {
                    return;
                }
                if (running_) {
                    queue_->post([o = output_, ms] {
                        if (auto output = o.lock()) {
                            output->streamDidOutputVideo(frame(ms));
                            output->streamDidOutputAudio(audio(ms));
                        }
                    });
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::weak_ptr<CaptureStreamDelegate> delegate_;
    const bool failStart_, endsItself_;
    std::mutex lock_;
    std::weak_ptr<CaptureStreamOutput> output_;
    std::shared_ptr<Executor> queue_;
    bool running_ = false, closing_ = false;
    std::thread producer_;
    SerialQueue thread_{"test.capture"};  // declared last: destroyed (joined) first
};

// Emits a segment from its own thread every few appends.
class ThreadedWriter : public StreamWriter {
  public:
    explicit ThreadedWriter(std::weak_ptr<StreamWriterDelegate> delegate)
        : delegate_(std::move(delegate)) {}
    bool start(MediaTime) override { return emit(SegmentKind::initialization, true); }
    bool isReadyFor(MediaKind) const override { return true; }
    bool appendVideo(const VideoFrame&) override { return emit(SegmentKind::media, false); }
    bool appendAudio(const AudioBuffer&) override { return true; }
    WriterStatus status() const override {
        std::lock_guard guard(lock_);
        return status_;
    }
    std::optional<Error> failure() const override { return std::nullopt; }
    void cancel() override {
        std::lock_guard guard(lock_);
        status_ = WriterStatus::cancelled;
        ++cancels;
    }
    int cancelCount() const {
        std::lock_guard guard(lock_);
        return cancels;
    }

  private:
    bool emit(SegmentKind kind, bool starting) {
        std::lock_guard guard(lock_);
        if (starting) {
            status_ = WriterStatus::writing;
        }
        if (starting || (++appends_ % 5 == 0 && status_ == WriterStatus::writing)) {
            thread_.post([delegate = delegate_, kind] {
                if (auto strong = delegate.lock()) {
                    strong->writerDidOutputSegment(makeBuffer("segment"), kind);
                }
            });
        }
        return true;
    }

    std::weak_ptr<StreamWriterDelegate> delegate_;
    mutable std::mutex lock_;
    WriterStatus status_ = WriterStatus::unknown;
    int appends_ = 0, cancels = 0;
    SerialQueue thread_{"test.writer"};
};

TEST(CasterStress, ManyStartStopCyclesAgainstThreadedFakes) {
    auto store = std::make_shared<LiveHLSStore>();
    auto main = std::make_shared<QueueMain>();
    auto tasks = std::make_shared<SerialQueue>("test.tasks");
    auto video = std::make_shared<SerialQueue>("test.video");
    auto picker = std::make_shared<FakePicker>();
    std::mutex made;
    std::vector<std::shared_ptr<ThreadedStream>> streams;
    std::vector<std::shared_ptr<ThreadedWriter>> writers;

    CasterPlatform platform{picker, nullptr, nullptr, main, std::make_shared<RecordingTrace>(),
                            tasks,  video};
    platform.makeStream =
        [&](std::shared_ptr<const ContentFilter>, const StreamConfiguration&,
            std::weak_ptr<CaptureStreamDelegate> delegate) -> CaptureStreamResult {
        auto stream = std::make_shared<ThreadedStream>(delegate, roll(8) == 0, roll(6) == 0);
        std::lock_guard guard(made);
        return streams.emplace_back(stream);
    };
    platform.makeWriter = [&](const WriterSettings&,
                              std::weak_ptr<StreamWriterDelegate> delegate) -> StreamWriterResult {
        auto writer = std::make_shared<ThreadedWriter>(delegate);
        std::lock_guard guard(made);
        return writers.emplace_back(writer);
    };
    auto caster = NativeCaster::create(store, platform);

    // Checked on the main thread as each report arrives: no cast is reported as casting while
    // a stop is under way, nor between a stop's "Stopping…" and its "Ready".
    std::atomic<int> castingReports{0}, staleCastingReports{0};
    std::string lastText;  // main thread only
    main->post([&] {
        caster->setStateChanged([&](bool casting, const std::string& text) {
            if (casting) {
                ++castingReports;
                staleCastingReports += caster->isStopping() || lastText == "Stopping\u2026";
            }
            lastText = text;
        });
    });
    auto onMain = [&](std::function<void()> work) {
        std::promise<void> done;
        main->post([&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    };
    auto flushAll = [&] {
        tasks->flush();
        video->flush();
        main->queue.flush();
    };
    bool idle = false;
    int extraStops = 0;
    // Stops until idle twice in a row with every queue drained in between: nothing in flight.
    auto settle = [&] {
        for (int rounds = 0; rounds < 60000; ++rounds) {
            flushAll();
            onMain([&] {
                idle = !caster->isCasting() && !caster->isStopping() && !caster->hasStream();
            });
            if (idle) {
                flushAll();
                onMain([&] {
                    idle = !caster->isCasting() && !caster->isStopping() && !caster->hasStream();
                });
                if (idle) {
                    return true;
                }
            }
            onMain([&] {
                extraStops += !caster->isStopping() && (caster->isCasting() || caster->hasStream());
                caster->stop();
            });
            std::this_thread::sleep_for(1ms);
        }
        return false;
    };

    for (int cycle = 0; cycle < 150; ++cycle) {
        onMain([&] { caster->start(); });
        std::thread pickerThread([&] {
            nap(200);
            picker->select();
        });
        if (cycle % 3 == 0) {  // let this cast run, when it can, before stopping it
            const int before = castingReports;
            for (int i = 0; i < 5000 && castingReports == before; ++i) {
                std::this_thread::sleep_for(100us);
            }
        }
        nap(cycle % 3 == 0 ? 5000 : 3000);
        bool stopped = false;
        onMain([&] {
            stopped = !caster->isStopping() && (caster->isCasting() || caster->hasStream());
            caster->stop();
        });
        pickerThread.join();
        extraStops = 0;
        ASSERT_TRUE(settle()) << "cycle " << cycle;
        // A stop that found its cast ended it for good: nothing was left for another stop.
        if (stopped) {
            EXPECT_EQ(extraStops, 0) << "cycle " << cycle;
        }
    }

    // Every capture that ever started has been stopped, every writer cancelled at most once,
    // the store is inactive, and no stopped cast was ever reported as casting.
    std::lock_guard guard(made);
    for (const auto& stream : streams) {
        EXPECT_FALSE(stream->isRunning());
    }
    for (const auto& writer : writers) {
        EXPECT_LE(writer->cancelCount(), 1);
    }
    EXPECT_FALSE(storeActive(*store));
    EXPECT_EQ(staleCastingReports, 0);
    EXPECT_GT(castingReports, 0);
    onMain([&] { caster->setStateChanged(nullptr); });  // the handler refers to this frame
}

}  // namespace
}  // namespace skylark::test
