#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "caster/capture_platform.hpp"
#include "common/trace_log.hpp"
#include "platform/portal/portal_content_picker.hpp"

namespace skylark {

// ---- The choice ----------------------------------------------------------------------------

enum class CaptureBackendKind {
    portal,       // the desktop portal's picker and PipeWire streams
    x11,          // the X11 picker and X11 grabs
    unavailable,  // neither can show the desktop; `failure` says why
};

// What the choice depends on, found out at each presentation of the picker.
struct CaptureSessionFacts {
    bool waylandSession = false;
    // Whether the desktop portal offers screen casting, and if not, why not (the end of the
    // sentence "Screen sharing is not available on this desktop: …").
    bool portalAvailable = false;
    std::string portalReason;
    // Whether X11 grabs would show the desktop: an X server that is not Xwayland (which shows
    // only its own X clients).
    bool x11SeesDesktop = false;
};

struct CaptureBackendChoice {
    CaptureBackendKind kind = CaptureBackendKind::unavailable;
    std::string failure;  // the whole status text when `kind` is unavailable
};

// A Wayland session goes through the portal; without one it falls back to X11 only when X11
// sees the desktop, and otherwise fails with the portal's reason. Any other session uses X11.
CaptureBackendChoice chooseCaptureBackend(const CaptureSessionFacts& facts);

// Whether the environment describes a Wayland session: WAYLAND_DISPLAY is set, or
// XDG_SESSION_TYPE is "wayland". `getenv` reads one variable (null when unset).
bool isWaylandSession(const std::function<const char*(const char*)>& getenv);

// Whether X11 grabs of `displayName` (empty: DISPLAY) would show the desktop: the server can be
// reached and is not Xwayland. When not, `why` says so in a sentence.
bool x11SeesDesktop(const std::string& displayName, std::string& why);

// ---- The platform the caster is given -------------------------------------------------------

struct DesktopCaptureOptions {
    // The X display of the X11 path (empty: DISPLAY), the one Qt shows its windows on.
    std::string x11Display;
    PortalPickerOptions portal;
    // System audio, for both paths: the PulseAudio server (empty: the session's) and source.
    std::string audioServer;
    std::string audioDevice = "@DEFAULT_MONITOR@";
    // The capture's diagnostics and the line naming the chosen path. Empty: a TraceLog at its
    // default path.
    std::shared_ptr<Trace> trace;
    // Reads the environment (tests pass their own). Empty: std::getenv.
    std::function<const char*(const char*)> getenv;
};

struct DesktopCapture {
    // Chooses the backend at each present() (chooseCaptureBackend), then presents the portal's
    // dialog or the X11 picker; a failed choice reaches the observers as the picker's failure.
    // Same threads as the pickers it stands for: every call on the Qt main thread.
    std::shared_ptr<ContentPicker> picker;
    // Builds the stream that matches the filter: PipeWire for the portal's selections, X11 for
    // the X11 picker's.
    CaptureStreamFactory makeStream;
};

// The content picker and capture stream factory for this desktop, for CasterPlatform.
DesktopCapture makeDesktopCapture(DesktopCaptureOptions options = {});

}  // namespace skylark
