#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pulse/system_audio.hpp"

namespace skylark::pulse {

// One PulseAudio connection recording one source as 32-bit float frames, on the client
// library's own thread.
//
// Handlers run on that thread with its lock held, one at a time: `data` for every piece read
// (`samples` is null for a hole, which stands for silence) with when its first frame was
// captured on the monotonic clock; `discontinuity` when frames were lost or the source was
// suspended, so the count of frames no longer matches the clock; `lost`, once, when the server
// or the recording goes away after connect() succeeded.
class RecordStream {
  public:
    struct Handlers {
        std::function<void(const float* samples, uint32_t frames, std::chrono::nanoseconds first)>
            data;
        std::function<void()> discontinuity;
        std::function<void(const std::string& why)> lost;
    };

    RecordStream(const SystemAudioCapture::Settings& settings, Handlers handlers);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Connects and starts recording within the settings' timeout; false with the server's
    // reason in `why` when it cannot. Called once.
    bool connect(std::string& why);

    // Disconnects and stops the thread. When it returns, no handler is running or will run.
    void close();

  private:
    struct FreeMainloop {
        void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
    };
    struct UnrefContext {
        void operator()(pa_context* c) const { pa_context_unref(c); }
    };
    struct UnrefStream {
        void operator()(pa_stream* s) const { pa_stream_unref(s); }
    };
    enum class Wait { pending, ready, failed };

    template <class StateFn>
    bool waitFor(StateFn state, std::chrono::steady_clock::time_point deadline);
    std::chrono::nanoseconds estimateFirstCapture(pa_stream* stream, size_t readableFrames);
    void read(pa_stream* stream);
    void lost(const std::string& why);

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onOverflow(pa_stream*, void* self);
    static void onSuspended(pa_stream* stream, void* self);
    static void onReadable(pa_stream* stream, size_t, void* self);

    const SystemAudioCapture::Settings& settings_;
    const Handlers handlers_;
    // Owned by the loop thread while it runs (and its callbacks hold the loop lock).
    std::unique_ptr<pa_threaded_mainloop, FreeMainloop> loop_;
    std::unique_ptr<pa_context, UnrefContext> context_;
    std::unique_ptr<pa_stream, UnrefStream> stream_;
    bool connected_ = false;
};

}  // namespace skylark::pulse
