#pragma once

#include <memory>
#include <string>

#include "caster/capture_platform.hpp"
#include "common/trace_log.hpp"

namespace skylark {

struct X11CaptureOptions {
    // The PulseAudio server to record from (empty: the session's, as PULSE_SERVER or the
    // runtime folder say) and the source on it.
    std::string audioServer;
    std::string audioDevice = "@DEFAULT_MONITOR@";
    // Where the capture's own diagnostics go (a sound server that is missing or lost). Empty: a
    // TraceLog at its default path.
    std::shared_ptr<Trace> trace;
};

// The capture stream factory of X11 sessions: display capture with MIT-SHM, application
// capture with XComposite, system audio from PulseAudio. It takes filters made by the X11
// picker (X11ContentFilter) and answers any other filter with an error.
//
// Each stream opens its own X connection in startCapture, which completes once the first
// frame has been grabbed (or fails: no display, no MIT-SHM, the content is gone). Frames and
// audio buffers are posted to the queues given to addStreamOutput, stamped in nanoseconds of
// the monotonic clock. A closed window, a vanished display or a lost X server end the stream
// by itself through the delegate; a missing or lost sound server only turns the audio silent.
CaptureStreamFactory makeX11CaptureStreamFactory(X11CaptureOptions options = {});

}  // namespace skylark
