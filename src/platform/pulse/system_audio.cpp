#include "platform/pulse/system_audio.hpp"

#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <cstring>
#include <thread>

#include "platform/pulse/audio_clock.hpp"

namespace skylark::pulse {
namespace {

using Clock = std::chrono::steady_clock;
using ns = std::chrono::nanoseconds;

struct FreeMainloop {
    void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
struct UnrefContext {
    void operator()(pa_context* c) const { pa_context_unref(c); }
};
struct UnrefStream {
    void operator()(pa_stream* s) const { pa_stream_unref(s); }
};

// Holds the main loop's lock for a scope (the loop thread's own callbacks already hold it).
class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

ns now() {
    return Clock::now().time_since_epoch();
}

}  // namespace

class SystemAudioCapture::Impl {
  public:
    Impl(Settings settings, ChunkHandler onChunk, TraceHandler onTrace)
        : settings_(std::move(settings)),
          onChunk_(std::move(onChunk)),
          onTrace_(std::move(onTrace)),
          clock_(settings_.sampleRate),
          chunkFrames_(
              static_cast<uint32_t>(settings_.sampleRate * settings_.chunk.count() / 1000)) {
        pending_.reserve(size_t{chunkFrames_} * settings_.channels * 2);
    }

    ~Impl() { stop(); }

    void start() {
        std::string why;
        if (connect(why)) {
            recording_ = true;
            return;
        }
        teardownPulse();
        switchToSilence("system audio unavailable (" + why + "); the cast carries silence");
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        teardownPulse();
        wake_.notify_all();
        std::thread silence;
        {
            std::lock_guard lock(mutex_);
            silence = std::move(silenceThread_);
        }
        if (silence.joinable()) {
            silence.join();
        }
        recording_ = false;
    }

    bool recording() const { return recording_; }

  private:
    // Connects context and record stream; false with the server's reason when it cannot.
    bool connect(std::string& why) {
        loop_.reset(pa_threaded_mainloop_new());
        if (!loop_) {
            why = "cannot create the PulseAudio main loop";
            return false;
        }
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, settings_.clientName.c_str());
        context_.reset(pa_context_new_with_proplist(api, settings_.clientName.c_str(), props));
        pa_proplist_free(props);
        if (!context_) {
            why = "cannot create a PulseAudio context";
            return false;
        }
        pa_context_set_state_callback(context_.get(), &Impl::onContextState, this);
        const char* server = settings_.server.empty() ? nullptr : settings_.server.c_str();
        if (pa_context_connect(context_.get(), server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            why = pa_strerror(pa_context_errno(context_.get()));
            return false;
        }
        if (pa_threaded_mainloop_start(loop_.get()) < 0) {
            why = "cannot start the PulseAudio main loop";
            return false;
        }
        LoopLock lock(loop_.get());
        const Clock::time_point deadline = Clock::now() + settings_.connectTimeout;
        if (!waitFor(
                [&] {
                    const pa_context_state_t s = pa_context_get_state(context_.get());
                    return s == PA_CONTEXT_READY   ? Wait::ready
                           : PA_CONTEXT_IS_GOOD(s) ? Wait::pending
                                                   : Wait::failed;
                },
                deadline)) {
            why = failureText(pa_context_errno(context_.get()), "no answer from the sound server");
            return false;
        }
        pa_sample_spec format{PA_SAMPLE_FLOAT32LE, settings_.sampleRate,
                              static_cast<uint8_t>(settings_.channels)};
        stream_.reset(pa_stream_new(context_.get(), "System audio", &format, nullptr));
        if (!stream_) {
            why = pa_strerror(pa_context_errno(context_.get()));
            return false;
        }
        pa_stream_set_state_callback(stream_.get(), &Impl::onStreamState, this);
        pa_stream_set_read_callback(stream_.get(), &Impl::onReadable, this);
        pa_stream_set_overflow_callback(stream_.get(), &Impl::onOverflow, this);
        pa_stream_set_suspended_callback(stream_.get(), &Impl::onSuspended, this);
        // Fragments of one chunk keep the latency low without waking more often than needed.
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(settings_.chunk.count()) * 1000, &format));
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
        if (pa_stream_connect_record(stream_.get(), settings_.device.c_str(), &attr, flags) < 0) {
            why = pa_strerror(pa_context_errno(context_.get()));
            return false;
        }
        if (!waitFor(
                [&] {
                    const pa_stream_state_t s = pa_stream_get_state(stream_.get());
                    return s == PA_STREAM_READY   ? Wait::ready
                           : PA_STREAM_IS_GOOD(s) ? Wait::pending
                                                  : Wait::failed;
                },
                deadline)) {
            why = failureText(pa_context_errno(context_.get()),
                              "the sound server did not start recording " + settings_.device);
            return false;
        }
        connected_ = true;
        return true;
    }

    static std::string failureText(int error, std::string fallback) {
        return error != PA_OK ? std::string(pa_strerror(error)) : fallback;
    }

    enum class Wait { pending, ready, failed };

    // Waits, with the loop locked, until `state()` answers ready (true), failed or the
    // deadline passes (false).
    template <class StateFn>
    bool waitFor(StateFn state, Clock::time_point deadline) {
        // A timer on the loop wakes the wait at the deadline.
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
        timeval tv;
        pa_gettimeofday(&tv);
        pa_timeval_add(
            &tv, static_cast<pa_usec_t>(std::max<int64_t>(
                     std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now())
                         .count(),
                     0)));
        pa_time_event* timer = api->time_new(
            api, &tv,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
            },
            loop_.get());
        bool ok = false;
        while (true) {
            const Wait s = state();
            if (s == Wait::ready) {
                ok = true;
                break;
            }
            if (s == Wait::failed || Clock::now() >= deadline) {
                break;
            }
            pa_threaded_mainloop_wait(loop_.get());
        }
        api->time_free(timer);
        return ok;
    }

    void teardownPulse() {
        if (loop_) {
            {
                LoopLock lock(loop_.get());
                connected_ = false;
                if (stream_) {
                    pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
                    pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
                    pa_stream_set_overflow_callback(stream_.get(), nullptr, nullptr);
                    pa_stream_set_suspended_callback(stream_.get(), nullptr, nullptr);
                    pa_stream_disconnect(stream_.get());
                }
                if (context_) {
                    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
                    pa_context_disconnect(context_.get());
                }
            }
            pa_threaded_mainloop_stop(loop_.get());
        }
        stream_.reset();
        context_.reset();
        loop_.reset();
    }

    static void onContextState(pa_context* context, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const pa_context_state_t state = pa_context_get_state(context);
        pa_threaded_mainloop_signal(impl->loop_.get(), 0);
        if (impl->connected_ && !PA_CONTEXT_IS_GOOD(state)) {
            impl->lost(failureText(pa_context_errno(context), "connection closed"));
        }
    }

    static void onStreamState(pa_stream* stream, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        pa_threaded_mainloop_signal(impl->loop_.get(), 0);
        if (impl->connected_ && !PA_STREAM_IS_GOOD(state)) {
            impl->lost(failureText(pa_context_errno(impl->context_.get()), "recording ended"));
        }
    }

    static void onOverflow(pa_stream*, void* self) {
        // Data was lost: the frame count no longer matches the clock.
        static_cast<Impl*>(self)->clock_.restart();
    }

    static void onSuspended(pa_stream* stream, void* self) {
        // A suspended source delivers nothing until it resumes: start the line anew then.
        if (pa_stream_is_suspended(stream) > 0) {
            static_cast<Impl*>(self)->clock_.restart();
        }
    }

    static void onReadable(pa_stream* stream, size_t, void* self) {
        static_cast<Impl*>(self)->read(stream);
    }

    // On the loop thread: takes everything readable and cuts it into chunks.
    void read(pa_stream* stream) {
        const size_t frameBytes = sizeof(float) * settings_.channels;
        while (pa_stream_readable_size(stream) > 0) {
            const size_t readable = pa_stream_readable_size(stream);
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            const auto frames = static_cast<uint32_t>(bytes / frameBytes);
            clock_.advance(frames, estimateFirstCapture(stream, readable / frameBytes));
            const size_t before = pending_.size();
            pending_.resize(before + size_t{frames} * settings_.channels, 0.0f);
            // A hole (no data) stays silent.
            if (data != nullptr) {
                std::memcpy(pending_.data() + before, data, size_t{frames} * frameBytes);
            }
            pa_stream_drop(stream);
            emitFullChunks();
        }
    }

    // When the oldest unread frame was captured: now, less what the server says it has held
    // back, and at least what is waiting here. The first reports after connecting can be stale
    // by hundreds of milliseconds; a value that the buffered amount cannot explain falls back
    // to the buffered amount alone.
    ns estimateFirstCapture(pa_stream* stream, size_t readableFrames) {
        const ns arrival = now();
        const ns buffered(static_cast<int64_t>(readableFrames) * 1'000'000'000 /
                          settings_.sampleRate);
        pa_usec_t usec = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &usec, &negative) == 0) {
            const ns latency =
                std::chrono::microseconds(static_cast<int64_t>(usec)) * (negative != 0 ? -1 : 1);
            // What is buffered here was captured before it arrived, whatever the report says.
            if (latency < buffered + kPlausibleSlack) {
                return arrival - std::max(latency, buffered);
            }
        }
        return arrival - buffered;
    }

    void emitFullChunks() {
        const size_t chunkSamples = size_t{chunkFrames_} * settings_.channels;
        size_t offset = 0;
        while (pending_.size() - offset >= chunkSamples) {
            AudioChunk chunk;
            chunk.samples.assign(
                pending_.begin() + static_cast<std::ptrdiff_t>(offset),
                pending_.begin() + static_cast<std::ptrdiff_t>(offset + chunkSamples));
            chunk.frames = chunkFrames_;
            chunk.channels = settings_.channels;
            chunk.sampleRate = settings_.sampleRate;
            chunk.time = clock_.timeOf(emitted_);
            emitted_ += chunkFrames_;
            offset += chunkSamples;
            onChunk_(std::move(chunk));
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
    }

    // On the loop thread, once: the server went away.
    void lost(const std::string& why) {
        connected_ = false;
        recording_ = false;
        switchToSilence("sound server lost (" + why + "); the cast carries on with silence");
    }

    void switchToSilence(const std::string& traceLine) {
        std::lock_guard lock(mutex_);
        if (stopping_ || silenceThread_.joinable()) {
            return;
        }
        if (onTrace_) {
            onTrace_(traceLine);
        }
        // Continue the time line where recording left it; frames not yet cut into a chunk
        // are dropped, the silence starts at the next chunk boundary.
        const ns start = clock_.started() ? clock_.timeOf(emitted_) : now();
        pending_.clear();
        silenceThread_ = std::thread([this, start] { runSilence(start); });
    }

    void runSilence(ns start) {
        const ns chunkDuration = settings_.chunk;
        ns next = start;
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            // A chunk is due once all of it would have been captured.
            const Clock::time_point due{next + chunkDuration};
            if (wake_.wait_until(lock, due, [this] { return stopping_; })) {
                break;
            }
            // After a long stall, leave a gap rather than sending a burst of old silence.
            if (now() - (next + chunkDuration) > kMaxSilenceBacklog) {
                next = now() - chunkDuration;
            }
            AudioChunk chunk;
            chunk.samples.assign(size_t{chunkFrames_} * settings_.channels, 0.0f);
            chunk.frames = chunkFrames_;
            chunk.channels = settings_.channels;
            chunk.sampleRate = settings_.sampleRate;
            chunk.time = next;
            chunk.silence = true;
            next += chunkDuration;
            lock.unlock();
            onChunk_(std::move(chunk));
            lock.lock();
        }
    }

    static constexpr ns kPlausibleSlack{50'000'000};
    static constexpr ns kMaxSilenceBacklog{200'000'000};

    const Settings settings_;
    ChunkHandler onChunk_;
    TraceHandler onTrace_;

    // Owned by the loop thread while it runs (and its callbacks hold the loop lock).
    std::unique_ptr<pa_threaded_mainloop, FreeMainloop> loop_;
    std::unique_ptr<pa_context, UnrefContext> context_;
    std::unique_ptr<pa_stream, UnrefStream> stream_;
    bool connected_ = false;
    AudioClock clock_;
    uint32_t chunkFrames_;
    uint64_t emitted_ = 0;
    std::vector<float> pending_;
    std::atomic<bool> recording_{false};

    std::mutex mutex_;  // guards stopping_ and silenceThread_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread silenceThread_;
};

SystemAudioCapture::SystemAudioCapture(Settings settings, ChunkHandler onChunk,
                                       TraceHandler onTrace)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(onChunk), std::move(onTrace))) {}

SystemAudioCapture::~SystemAudioCapture() = default;

void SystemAudioCapture::start() {
    impl_->start();
}

void SystemAudioCapture::stop() {
    impl_->stop();
}

bool SystemAudioCapture::recording() const {
    return impl_->recording();
}

}  // namespace skylark::pulse
