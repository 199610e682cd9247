#pragma once

#include <memory>
#include <string>

#include "caster/capture_platform.hpp"
#include "common/trace_log.hpp"

namespace skylark {

// Errors of the PipeWire capture: the domain and its codes.
inline constexpr const char* kPipeWireErrorDomain = "org.skylark.pipewire";
enum PipeWireErrorCode : std::int64_t {
    kPipeWireCannotCapture = 1,  // PipeWire unreachable, the node refused, no picture came
    kPipeWireContentEnded = 2,   // the node went away mid-cast (window closed, sharing revoked)
    kPipeWireBadRequest = 3,     // a configuration, output or call order this stream cannot serve
};

struct PipeWireCaptureOptions {
    // The PulseAudio server to record system audio from (empty: the session's) and the source.
    std::string audioServer;
    std::string audioDevice = "@DEFAULT_MONITOR@";
    // Where the capture's own diagnostics go. Empty: a TraceLog at its default path.
    std::shared_ptr<Trace> trace;
};

// The capture stream factory of Wayland sessions: the frames of the PipeWire node that the
// screen-cast portal granted (a PipeWireContentFilter), scaled to the configured size and
// handed on at a steady pace of at most one per minimum frame interval (the newest picture
// again while the screen is still), with system audio from PulseAudio as on X11. Any other
// filter is answered with an error.
//
// startCapture completes once the first picture with content has been handed on, or fails
// (PipeWire unreachable, the node gone, nothing shown within a few seconds). Frames and audio
// buffers are stamped in nanoseconds of the monotonic clock. The node going away (window
// closed, sharing revoked by the desktop) ends the stream by itself through the delegate.
// Stopping, and dropping the stream, release the portal's session.
CaptureStreamFactory makePipeWireCaptureStreamFactory(PipeWireCaptureOptions options = {});

}  // namespace skylark
