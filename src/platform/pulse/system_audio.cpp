#include "platform/pulse/system_audio.hpp"

#include <condition_variable>
#include <cstring>
#include <thread>

#include "platform/pulse/audio_clock.hpp"
#include "platform/pulse/record_stream.hpp"

namespace skylark::pulse {
namespace {

using Clock = std::chrono::steady_clock;
using ns = std::chrono::nanoseconds;

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
        record_ = std::make_unique<RecordStream>(
            settings_, RecordStream::Handlers{[this](const float* samples, uint32_t frames,
                                                     ns first) { take(samples, frames, first); },
                                              [this] { clock_.restart(); },
                                              [this](const std::string& why) { lost(why); }});
        std::string why;
        if (record_->connect(why)) {
            recording_ = true;
            return;
        }
        record_->close();
        switchToSilence("system audio unavailable (" + why + "); the cast carries silence");
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        if (record_) {
            record_->close();
        }
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
    // On the recording thread: appends what was read and cuts it into chunks.
    void take(const float* samples, uint32_t frames, ns first) {
        clock_.advance(frames, first);
        const size_t before = pending_.size();
        pending_.resize(before + size_t{frames} * settings_.channels, 0.0f);
        // A hole (no data) stays silent.
        if (samples != nullptr) {
            std::memcpy(pending_.data() + before, samples,
                        size_t{frames} * settings_.channels * sizeof(float));
        }
        emitFullChunks();
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

    // On the recording thread, once: the server went away.
    void lost(const std::string& why) {
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

    static constexpr ns kMaxSilenceBacklog{200'000'000};

    const Settings settings_;
    ChunkHandler onChunk_;
    TraceHandler onTrace_;

    std::unique_ptr<RecordStream> record_;
    // On the recording thread while it runs.
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
