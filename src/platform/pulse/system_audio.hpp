#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace skylark::pulse {

// One buffer of system audio: interleaved 32-bit float samples, `channels` per frame.
struct AudioChunk {
    std::vector<float> samples;
    uint32_t frames = 0;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
    std::chrono::nanoseconds time{0};  // monotonic clock (steady_clock): capture of frame 0
    bool silence = false;              // made up because no sound server is recording
};

// Records what the computer plays (the default output's monitor) through the PulseAudio API,
// which PipeWire desktops also serve through pipewire-pulse, and hands it on in buffers of a
// fixed length stamped on the monotonic clock that video frames use.
//
// It never fails: without a sound server, or when the server goes away mid-cast, it carries
// on with silence at the same rate and on the same time line, and tells `onTrace` once.
//
// Threads: start(), stop() and the destructor from one owner thread. `onChunk` and `onTrace`
// run on an internal thread, one call at a time, and must not call stop().
class SystemAudioCapture {
  public:
    struct Settings {
        std::string device = "@DEFAULT_MONITOR@";
        std::string server;  // empty: the default server of the session
        uint32_t sampleRate = 48000;
        uint32_t channels = 2;
        std::chrono::milliseconds chunk{10};
        std::chrono::milliseconds connectTimeout{3000};
        std::string clientName = "Skylark";
    };
    using ChunkHandler = std::function<void(AudioChunk)>;
    using TraceHandler = std::function<void(std::string_view)>;

    SystemAudioCapture(Settings settings, ChunkHandler onChunk, TraceHandler onTrace);
    ~SystemAudioCapture();
    SystemAudioCapture(const SystemAudioCapture&) = delete;
    SystemAudioCapture& operator=(const SystemAudioCapture&) = delete;

    // Connects and starts recording, or starts the silence when that is not possible. Returns
    // once the first source of buffers is running.
    void start();

    // Stops recording or silence. When it returns, no handler is running or will run.
    void stop();

    // True while buffers come from the sound server rather than made-up silence.
    bool recording() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace skylark::pulse
