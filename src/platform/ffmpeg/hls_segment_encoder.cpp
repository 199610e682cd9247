#include "platform/ffmpeg/hls_segment_encoder.hpp"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>

#include "platform/ffmpeg/segment_engine.hpp"

namespace skylark::ffmpeg {

namespace {

struct VideoItem {
    VideoFrame frame;
    std::int64_t time_ns;
};
struct AudioItem {
    AudioBuffer samples;
    std::int64_t time_ns;
};
struct FinishItem {};
using Item = std::variant<VideoItem, AudioItem, FinishItem>;

}  // namespace

struct HLSSegmentEncoder::Shared {
    EncoderSettings settings;
    SegmentHandler handler;
    std::unique_ptr<SegmentEngine> engine;  // used by the writer's thread only once started

    mutable std::mutex lock;  // guards everything below
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<Item> queue;
    std::size_t queuedVideo = 0;
    std::size_t queuedAudio = 0;
    Status status = Status::unknown;
    std::string error;
    bool stopping = false;  // the thread ends at its next look at the queue
    bool threadDone = false;
    std::thread::id threadID;

    // Held while the handler runs, so cancel() can wait out a delivery under way.
    std::mutex delivery;

    void deliver(SegmentKind type, Bytes bytes) {
        std::lock_guard guard(delivery);
        {
            std::lock_guard state(lock);
            if (status != Status::writing) {
                return;  // cancelled or failed: nothing more goes out
            }
        }
        if (handler) {
            handler(makeBuffer(std::move(bytes)), type);
        }
    }

    void fail(const std::string& message) {
        std::lock_guard guard(lock);
        if (status == Status::writing) {
            status = Status::failed;
            error = message;
        }
        stopping = true;
        queue.clear();
        queuedVideo = queuedAudio = 0;
    }

    static void run(const std::shared_ptr<Shared>& self, std::int64_t sessionStart_ns);
    void process(Item& item);
};

void HLSSegmentEncoder::Shared::run(const std::shared_ptr<Shared>& self,
                                    std::int64_t sessionStart_ns) {
    // Conversion, the encoder's calls and muxing run here; a profile should say so.
    pthread_setname_np(pthread_self(), "skylark-writer");
    try {
        self->engine->start(sessionStart_ns);
        for (;;) {
            Item item;
            {
                std::unique_lock guard(self->lock);
                self->wake.wait(guard, [&] { return self->stopping || !self->queue.empty(); });
                if (self->stopping) {
                    break;
                }
                item = std::move(self->queue.front());
                self->queue.pop_front();
            }
            self->process(item);
            {
                std::lock_guard guard(self->lock);
                // Counted out only now, so the queue bound covers the frame being encoded.
                // (cancel() may have emptied the queue and its counts meanwhile.)
                if (std::holds_alternative<VideoItem>(item) && self->queuedVideo > 0) {
                    --self->queuedVideo;
                } else if (std::holds_alternative<AudioItem>(item) && self->queuedAudio > 0) {
                    --self->queuedAudio;
                }
            }
        }
    } catch (const EncoderFailure& failure) {
        self->fail(failure.what());
    } catch (const std::bad_alloc&) {
        self->fail("The streaming encoder ran out of memory.");
    } catch (const std::exception& other) {
        self->fail(std::string("The streaming encoder stopped: ") + other.what());
    }
    // The encoders are closed here, on this thread, so that destroying the writer from any
    // thread never waits for more than one encoding step.
    self->engine.reset();
    std::lock_guard guard(self->lock);
    self->threadDone = true;
    self->finished.notify_all();
}

void HLSSegmentEncoder::Shared::process(Item& item) {
    if (auto* video = std::get_if<VideoItem>(&item)) {
        engine->addVideo(video->frame, video->time_ns);
    } else if (auto* audio = std::get_if<AudioItem>(&item)) {
        engine->addAudio(audio->samples, audio->time_ns);
    } else {
        engine->finish();
        std::lock_guard guard(lock);
        if (status == Status::writing) {
            status = Status::completed;
        }
        stopping = true;
    }
}

HLSSegmentEncoder::Created HLSSegmentEncoder::create(const EncoderSettings& settings,
                                                     SegmentHandler handler) {
    if (std::string problem = checkSettings(settings); !problem.empty()) {
        return {nullptr, problem};
    }
    auto shared = std::make_shared<Shared>();
    shared->settings = settings;
    shared->handler = std::move(handler);
    try {
        std::weak_ptr<Shared> weak = shared;
        shared->engine =
            std::make_unique<SegmentEngine>(settings, [weak](SegmentKind type, Bytes bytes) {
                if (auto self = weak.lock()) {
                    self->deliver(type, std::move(bytes));
                }
            });
    } catch (const EncoderFailure& failure) {
        return {nullptr, failure.what()};
    }
    return {std::make_unique<HLSSegmentEncoder>(Key{}, std::move(shared)), {}};
}

std::string HLSSegmentEncoder::tryVideoEncoder(const EncoderSettings& settings) {
    if (std::string problem = checkSettings(settings); !problem.empty()) {
        return problem;
    }
    try {
        VideoEncoder encoder(settings);
    } catch (const EncoderFailure& failure) {
        return failure.what();
    }
    return {};
}

std::string HLSSegmentEncoder::tryAudioEncoder(const EncoderSettings& settings) {
    if (std::string problem = checkSettings(settings); !problem.empty()) {
        return problem;
    }
    try {
        AudioEncoder encoder(settings);
    } catch (const EncoderFailure& failure) {
        return failure.what();
    }
    return {};
}

HLSSegmentEncoder::HLSSegmentEncoder(Key, std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)) {}

HLSSegmentEncoder::~HLSSegmentEncoder() {
    cancel();
    std::unique_lock guard(shared_->lock);
    if (shared_->threadID == std::thread::id{} || shared_->threadID == std::this_thread::get_id()) {
        return;  // never started, or destroyed by its own handler: the thread ends on its own
    }
    shared_->finished.wait(guard, [&] { return shared_->threadDone; });
}

bool HLSSegmentEncoder::start(std::int64_t sessionStart_ns) {
    std::lock_guard guard(shared_->lock);
    if (shared_->status != Status::unknown) {
        return false;
    }
    shared_->status = Status::writing;
    std::thread thread(&Shared::run, shared_, sessionStart_ns);
    shared_->threadID = thread.get_id();
    // The thread owns the shared state with this object; it is never joined, so that a writer
    // destroyed from its own handler does not wait for itself. The destructor waits for its end.
    thread.detach();
    return true;
}

bool HLSSegmentEncoder::isReadyForVideo() const {
    std::lock_guard guard(shared_->lock);
    return shared_->status == Status::writing && !shared_->stopping &&
           shared_->queuedVideo < shared_->settings.maxQueuedVideoFrames;
}

bool HLSSegmentEncoder::isReadyForAudio() const {
    std::lock_guard guard(shared_->lock);
    return shared_->status == Status::writing && !shared_->stopping &&
           shared_->queuedAudio < shared_->settings.maxQueuedAudioBuffers;
}

bool HLSSegmentEncoder::appendVideo(VideoFrame frame, std::int64_t time_ns) {
    if (!checkVideoFrame(frame).empty()) {
        return false;
    }
    std::lock_guard guard(shared_->lock);
    if (shared_->status != Status::writing || shared_->stopping ||
        shared_->queuedVideo >= shared_->settings.maxQueuedVideoFrames) {
        return false;
    }
    shared_->queue.push_back(VideoItem{std::move(frame), time_ns});
    ++shared_->queuedVideo;
    shared_->wake.notify_one();
    return true;
}

bool HLSSegmentEncoder::appendAudio(AudioBuffer samples, std::int64_t time_ns) {
    if (!checkAudioBuffer(samples).empty()) {
        return false;
    }
    std::lock_guard guard(shared_->lock);
    if (shared_->status != Status::writing || shared_->stopping ||
        shared_->queuedAudio >= shared_->settings.maxQueuedAudioBuffers) {
        return false;
    }
    shared_->queue.push_back(AudioItem{std::move(samples), time_ns});
    ++shared_->queuedAudio;
    shared_->wake.notify_one();
    return true;
}

void HLSSegmentEncoder::finish() {
    std::unique_lock guard(shared_->lock);
    if (shared_->status != Status::writing || shared_->stopping) {
        return;
    }
    shared_->queue.push_back(FinishItem{});
    shared_->wake.notify_one();
    shared_->finished.wait(guard, [&] { return shared_->threadDone; });
}

void HLSSegmentEncoder::cancel() {
    bool onWriterThread = false;
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->status == Status::unknown || shared_->status == Status::writing) {
            shared_->status = Status::cancelled;
        }
        shared_->stopping = true;
        shared_->queue.clear();
        shared_->queuedVideo = shared_->queuedAudio = 0;
        shared_->wake.notify_one();
        onWriterThread = shared_->threadID == std::this_thread::get_id();
    }
    if (!onWriterThread) {
        // A delivery that began before the status changed ends before cancel() returns.
        std::lock_guard wait(shared_->delivery);
    }
}

HLSSegmentEncoder::Status HLSSegmentEncoder::status() const {
    std::lock_guard guard(shared_->lock);
    return shared_->status;
}

std::string HLSSegmentEncoder::error() const {
    std::lock_guard guard(shared_->lock);
    return shared_->error;
}

}  // namespace skylark::ffmpeg
