#include "platform/pulse/record_stream.hpp"

#include <algorithm>

namespace skylark::pulse {
namespace {

using Clock = std::chrono::steady_clock;
using ns = std::chrono::nanoseconds;

// A latency report larger than what is buffered by more than this is stale.
constexpr ns kPlausibleSlack{50'000'000};

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

std::string failureText(int error, std::string fallback) {
    return error != PA_OK ? std::string(pa_strerror(error)) : fallback;
}

}  // namespace

RecordStream::RecordStream(const SystemAudioCapture::Settings& settings, Handlers handlers)
    : settings_(settings), handlers_(std::move(handlers)) {}

RecordStream::~RecordStream() {
    close();
}

// Waits, with the loop locked, until `state()` answers ready (true), failed or the
// deadline passes (false).
template <class StateFn>
bool RecordStream::waitFor(StateFn state, Clock::time_point deadline) {
    // A timer on the loop wakes the wait at the deadline.
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
    timeval tv;
    pa_gettimeofday(&tv);
    pa_timeval_add(
        &tv,
        static_cast<pa_usec_t>(std::max<int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count(),
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

bool RecordStream::connect(std::string& why) {
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
    pa_context_set_state_callback(context_.get(), &RecordStream::onContextState, this);
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
    pa_stream_set_state_callback(stream_.get(), &RecordStream::onStreamState, this);
    pa_stream_set_read_callback(stream_.get(), &RecordStream::onReadable, this);
    pa_stream_set_overflow_callback(stream_.get(), &RecordStream::onOverflow, this);
    pa_stream_set_suspended_callback(stream_.get(), &RecordStream::onSuspended, this);
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

void RecordStream::close() {
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

// On the loop thread, once: the server or the recording went away.
void RecordStream::lost(const std::string& why) {
    connected_ = false;
    handlers_.lost(why);
}

void RecordStream::onContextState(pa_context* context, void* self) {
    auto* impl = static_cast<RecordStream*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    pa_threaded_mainloop_signal(impl->loop_.get(), 0);
    if (impl->connected_ && !PA_CONTEXT_IS_GOOD(state)) {
        impl->lost(failureText(pa_context_errno(context), "connection closed"));
    }
}

void RecordStream::onStreamState(pa_stream* stream, void* self) {
    auto* impl = static_cast<RecordStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    pa_threaded_mainloop_signal(impl->loop_.get(), 0);
    if (impl->connected_ && !PA_STREAM_IS_GOOD(state)) {
        impl->lost(failureText(pa_context_errno(impl->context_.get()), "recording ended"));
    }
}

void RecordStream::onOverflow(pa_stream*, void* self) {
    // Data was lost: the frame count no longer matches the clock.
    static_cast<RecordStream*>(self)->handlers_.discontinuity();
}

void RecordStream::onSuspended(pa_stream* stream, void* self) {
    // A suspended source delivers nothing until it resumes: start the line anew then.
    if (pa_stream_is_suspended(stream) > 0) {
        static_cast<RecordStream*>(self)->handlers_.discontinuity();
    }
}

void RecordStream::onReadable(pa_stream* stream, size_t, void* self) {
    static_cast<RecordStream*>(self)->read(stream);
}

// On the loop thread: takes everything readable and cuts it into chunks.
void RecordStream::read(pa_stream* stream) {
    const size_t frameBytes = sizeof(float) * settings_.channels;
    while (pa_stream_readable_size(stream) > 0) {
        const size_t readable = pa_stream_readable_size(stream);
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        const auto frames = static_cast<uint32_t>(bytes / frameBytes);
        const ns first = estimateFirstCapture(stream, readable / frameBytes);
        handlers_.data(static_cast<const float*>(data), frames, first);
        pa_stream_drop(stream);
    }
}

// When the oldest unread frame was captured: now, less what the server says it has held
// back, and at least what is waiting here. The first reports after connecting can be stale
// by hundreds of milliseconds; a value that the buffered amount cannot explain falls back
// to the buffered amount alone.
ns RecordStream::estimateFirstCapture(pa_stream* stream, size_t readableFrames) {
    const ns arrival = Clock::now().time_since_epoch();
    const ns buffered(static_cast<int64_t>(readableFrames) * 1'000'000'000 / settings_.sampleRate);
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

}  // namespace skylark::pulse
