#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "platform/ffmpeg/segment_engine.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace skylark {

namespace {

using ffmpeg::EncoderFailure;
using ffmpeg::EncoderTuning;
using ffmpeg::SegmentEngine;

struct FinishItem {};
using Item = std::variant<VideoFrame, AudioBuffer, FinishItem>;

// Why `s` cannot be encoded, or an empty text.
std::string problemWith(const WriterSettings& s, const EncoderTuning& tuning) {
    if (std::string problem = ffmpeg::checkSettings(s, tuning); !problem.empty()) {
        return problem;
    }
    try {
        ffmpeg::VideoEncoder video(s, tuning.preset);
        ffmpeg::AudioEncoder audio(s);
    } catch (const EncoderFailure& failure) {
        return failure.what();
    }
    return {};
}

// An H.264 packet as an access unit a subscriber can send on its own: Annex B, and a key frame
// led by the parameter sets, which the stream otherwise keeps in the initialization segment.
ByteBuffer accessUnit(const AVPacket& packet, const AVCodecContext& video) {
    Bytes bytes;
    if ((packet.flags & AV_PKT_FLAG_KEY) != 0 && video.extradata != nullptr) {
        bytes.assign(video.extradata, video.extradata + video.extradata_size);
    }
    bytes.insert(bytes.end(), packet.data, packet.data + packet.size);
    return makeBuffer(std::move(bytes));
}

}  // namespace

struct FFmpegStreamWriter::Shared {
    WriterSettings settings;
    EncoderTuning tuning;
    std::weak_ptr<StreamWriterDelegate> delegate;
    std::unique_ptr<SegmentEngine> engine;  // used by the writer's thread only once started

    mutable std::mutex lock;  // guards everything below
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<Item> queue;
    std::size_t queuedVideo = 0;
    std::size_t queuedAudio = 0;
    WriterStatus status = WriterStatus::unknown;
    std::optional<Error> failure;
    bool stopping = false;  // the thread ends at its next look at the queue
    bool threadDone = false;
    std::thread::id threadID;
    std::vector<std::weak_ptr<EncodedMediaSubscriber>> subscribers;

    // Held while the delegate or a subscriber runs, so cancel() can wait out a delivery: one for
    // the writer's thread, one for the sound handed on from appendAudio(), which must not wait
    // for a segment's delivery.
    std::mutex delivery;
    std::mutex soundDelivery;

    // Whether output may still go out, and to whom; called with `delivery` held.
    bool writing(std::vector<std::shared_ptr<EncodedMediaSubscriber>>* live = nullptr) {
        std::lock_guard state(lock);
        if (live != nullptr) {
            for (const auto& weak : subscribers) {
                if (auto subscriber = weak.lock()) {
                    live->push_back(std::move(subscriber));
                }
            }
        }
        return status == WriterStatus::writing;  // cancelled or failed: nothing more goes out
    }

    void deliver(SegmentKind kind, Bytes bytes) {
        std::lock_guard guard(delivery);
        if (!writing()) {
            return;
        }
        if (auto receiver = delegate.lock()) {
            receiver->writerDidOutputSegment(makeBuffer(std::move(bytes)), kind);
        }
    }

    // `make` builds the unit only when someone takes it; `through` is the delivery lock held.
    template <class Make>
    void publish(std::mutex& through, const Make& make) {
        std::lock_guard guard(through);
        std::vector<std::shared_ptr<EncodedMediaSubscriber>> live;
        if (!writing(&live) || live.empty()) {
            return;
        }
        const EncodedMedia media = make();
        for (const auto& subscriber : live) {
            subscriber->writerDidEncode(media);
        }
    }

    void fail(const std::string& message) {
        std::lock_guard guard(lock);
        if (status == WriterStatus::writing) {
            status = WriterStatus::failed;
            failure = Error{kErrorDomain, kEncodingFailed, message};
        }
        stopping = true;
        queue.clear();
        queuedVideo = queuedAudio = 0;
    }

    // Whether an append of `kind` is taken now; called with `lock` held.
    bool ready(MediaKind kind) const {
        const bool room = kind == MediaKind::video ? queuedVideo < tuning.maxQueuedVideoFrames
                                                   : queuedAudio < tuning.maxQueuedAudioBuffers;
        return status == WriterStatus::writing && !stopping && room;
    }

    bool append(Item item, MediaKind kind) {
        std::lock_guard guard(lock);
        if (!ready(kind)) {
            return false;
        }
        queue.push_back(std::move(item));
        ++(kind == MediaKind::video ? queuedVideo : queuedAudio);
        wake.notify_one();
        return true;
    }

    static void run(const std::shared_ptr<Shared>& self, std::int64_t sessionStart_ns);
    void process(Item& item);
};

void FFmpegStreamWriter::Shared::run(const std::shared_ptr<Shared>& self,
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
                if (std::holds_alternative<VideoFrame>(item) && self->queuedVideo > 0) {
                    --self->queuedVideo;
                } else if (std::holds_alternative<AudioBuffer>(item) && self->queuedAudio > 0) {
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

void FFmpegStreamWriter::Shared::process(Item& item) {
    if (auto* frame = std::get_if<VideoFrame>(&item)) {
        engine->addVideo(*frame, frame->time_ns);
    } else if (auto* audio = std::get_if<AudioBuffer>(&item)) {
        engine->addAudio(*audio, audio->time_ns);
    } else {
        engine->finish();
        std::lock_guard guard(lock);
        if (status == WriterStatus::writing) {
            status = WriterStatus::completed;
        }
        stopping = true;
    }
}

StreamWriterResult FFmpegStreamWriter::create(const WriterSettings& settings,
                                              std::weak_ptr<StreamWriterDelegate> delegate,
                                              EncoderTuning tuning) {
    if (std::string problem = problemWith(settings, tuning); !problem.empty()) {
        return Error{kErrorDomain, kCannotEncode, problem};
    }
    auto shared = std::make_shared<Shared>();
    shared->settings = settings;
    shared->tuning = std::move(tuning);
    shared->delegate = std::move(delegate);
    return std::make_shared<FFmpegStreamWriter>(Key{}, std::move(shared));
}

FFmpegStreamWriter::FFmpegStreamWriter(Key, std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)) {}

FFmpegStreamWriter::~FFmpegStreamWriter() {
    cancel();
    std::unique_lock guard(shared_->lock);
    if (shared_->threadID == std::thread::id{} || shared_->threadID == std::this_thread::get_id()) {
        return;  // never started, or destroyed by its own delegate: the thread ends on its own
    }
    shared_->finished.wait(guard, [&] { return shared_->threadDone; });
}

bool FFmpegStreamWriter::start(std::int64_t sessionStart_ns) {
    std::lock_guard guard(shared_->lock);
    if (shared_->status != WriterStatus::unknown) {
        return false;
    }
    try {
        std::weak_ptr<Shared> weak = shared_;
        shared_->engine = std::make_unique<SegmentEngine>(
            shared_->settings, shared_->tuning,
            [weak](SegmentKind kind, Bytes bytes) {
                if (auto self = weak.lock()) {
                    self->deliver(kind, std::move(bytes));
                }
            },
            [weak](const AVPacket& packet, std::int64_t time_ns) {
                if (auto self = weak.lock()) {
                    self->publish(self->delivery, [&] {
                        EncodedMedia media;
                        media.data = accessUnit(packet, self->engine->videoContext());
                        media.keyFrame = (packet.flags & AV_PKT_FLAG_KEY) != 0;
                        media.time_ns = time_ns;
                        return media;
                    });
                }
            });
    } catch (const EncoderFailure& failure) {
        shared_->status = WriterStatus::failed;
        shared_->failure = Error{kErrorDomain, kCannotEncode, failure.what()};
        return false;
    }
    shared_->status = WriterStatus::writing;
    std::thread thread(&Shared::run, shared_, sessionStart_ns);
    shared_->threadID = thread.get_id();
    // The thread owns the shared state with this object; it is never joined, so that a writer
    // destroyed from its own delegate does not wait for itself. The destructor waits for its end.
    thread.detach();
    return true;
}

bool FFmpegStreamWriter::isReadyFor(MediaKind kind) const {
    std::lock_guard guard(shared_->lock);
    return shared_->ready(kind);
}

bool FFmpegStreamWriter::appendVideo(const VideoFrame& frame) {
    return ffmpeg::checkVideoFrame(frame).empty() && shared_->append(frame, MediaKind::video);
}

bool FFmpegStreamWriter::appendAudio(const AudioBuffer& buffer) {
    if (!ffmpeg::checkAudioBuffer(buffer).empty() || !shared_->append(buffer, MediaKind::audio)) {
        return false;
    }
    // Sound goes out as it is taken, not from the writer's thread: there it would wait behind
    // the pictures' encode and reach a live peer in bursts it cannot play smoothly.
    shared_->publish(shared_->soundDelivery, [&] {
        EncodedMedia media;
        media.kind = MediaKind::audio;
        media.audio = buffer;
        media.time_ns = buffer.time_ns;
        return media;
    });
    return true;
}

WriterStatus FFmpegStreamWriter::status() const {
    std::lock_guard guard(shared_->lock);
    return shared_->status;
}

std::optional<Error> FFmpegStreamWriter::failure() const {
    std::lock_guard guard(shared_->lock);
    return shared_->failure;
}

void FFmpegStreamWriter::finish() {
    std::unique_lock guard(shared_->lock);
    if (shared_->status != WriterStatus::writing || shared_->stopping) {
        return;
    }
    shared_->queue.push_back(FinishItem{});
    shared_->wake.notify_one();
    shared_->finished.wait(guard, [&] { return shared_->threadDone; });
}

void FFmpegStreamWriter::cancel() {
    bool onWriterThread = false;
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->status == WriterStatus::unknown || shared_->status == WriterStatus::writing) {
            shared_->status = WriterStatus::cancelled;
        }
        shared_->stopping = true;
        shared_->queue.clear();
        shared_->queuedVideo = shared_->queuedAudio = 0;
        shared_->wake.notify_one();
        onWriterThread = shared_->threadID == std::this_thread::get_id();
    }
    if (!onWriterThread) {
        // A delivery that began before the status changed ends before cancel() returns.
        std::scoped_lock wait(shared_->delivery, shared_->soundDelivery);
    }
}

void FFmpegStreamWriter::subscribe(std::weak_ptr<EncodedMediaSubscriber> subscriber) {
    std::lock_guard guard(shared_->lock);
    shared_->subscribers.push_back(std::move(subscriber));
}

StreamWriterFactory makeFFmpegWriterFactory() {
    av_log_set_level(AV_LOG_ERROR);
    return [](const WriterSettings& settings, std::weak_ptr<StreamWriterDelegate> delegate) {
        return FFmpegStreamWriter::create(settings, std::move(delegate));
    };
}

}  // namespace skylark
