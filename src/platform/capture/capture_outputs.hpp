#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "caster/capture_platform.hpp"
#include "common/trace_log.hpp"
#include "platform/frames/picture.hpp"
#include "platform/pulse/system_audio.hpp"

// What the X11 and the PipeWire capture streams do alike: check what the caster asks of them,
// and hand pictures and system audio to its outputs. Errors are made in the calling backend's
// domain with its code for a request it cannot serve.
namespace skylark::capture {

// A size or audio format that the capture streams cannot deliver.
std::optional<Error> checkConfiguration(const StreamConfiguration& configuration,
                                        const char* domain, std::int64_t badRequest);

// A minimum frame interval that is not a positive number means "as fast as the screen": 60 a
// second stands in for that rather than a busy loop.
std::chrono::nanoseconds frameInterval(std::int64_t interval_ns);

// Starts recording system audio in the configured format, handing it to `onChunk` and the
// sound server's troubles to `trace`.
std::unique_ptr<pulse::SystemAudioCapture> startSystemAudio(
    const StreamConfiguration& configuration, const std::string& server, const std::string& device,
    std::shared_ptr<Trace> trace, pulse::SystemAudioCapture::ChunkHandler onChunk);

// The screen and audio outputs of a stream. Set up under the stream's control lock before it
// starts, then only read by the capture threads, so it needs no lock of its own.
struct CaptureOutputs {
    struct Output {
        std::weak_ptr<CaptureStreamOutput> output;
        std::shared_ptr<Executor> queue;
    };
    Output screen;
    Output audio;

    // addStreamOutput of a stream that has `started` (or stopped) already or not.
    std::optional<Error> add(std::weak_ptr<CaptureStreamOutput> output, StreamOutputType type,
                             std::shared_ptr<Executor> queue, bool started, const char* domain,
                             std::int64_t badRequest);

    // Posts a screen frame to a screen output that has a queue. `queued` counts the frame as
    // queued until the output has handled it (or the queue dropped the work unrun).
    void postScreen(std::shared_ptr<const frames::YuvPicture> picture,
                    std::chrono::nanoseconds time, std::shared_ptr<const void> queued) const;
    // Posts an audio buffer to an audio output that has a queue.
    void postAudio(pulse::AudioChunk chunk) const;
};

}  // namespace skylark::capture
