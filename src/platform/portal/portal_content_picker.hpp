#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "caster/capture_platform.hpp"

namespace skylark {

// Errors of the portal picker: the domain and its codes.
inline constexpr const char* kPortalErrorDomain = "org.skylark.portal";
enum PortalErrorCode : std::int64_t {
    kPortalUnavailable = 1,  // no session bus, no portal, no screen casting in it
    kPortalRefused = 2,      // the desktop refused or ended the request
    kPortalBadRequest = 3,   // the picker was asked for something it cannot offer
};

// Every failure the user sees from this picker begins with this text and goes on with the
// reason, e.g. "Screen sharing is not available on this desktop: the desktop portal
// (xdg-desktop-portal) is not running."
inline constexpr const char* kScreenSharingUnavailable =
    "Screen sharing is not available on this desktop: ";

struct PortalPickerOptions {
    // The D-Bus bus of the portal, e.g. "unix:path=/run/user/1000/bus". Empty: the session bus.
    std::string busAddress;
};

// The content picker of Wayland sessions: the desktop portal's ScreenCast dialog, offering one
// monitor or one window (as far as the desktop offers them) with the cursor drawn in.
//
// Each presentation opens a ScreenCast session, lets the desktop ask the user, and opens the
// PipeWire connection for the chosen stream; the selection is a PortalContentFilter that holds
// the session open until the capture stops or the filter is dropped. The restore token that
// the portal hands back is kept for the life of the picker, so a later presentation in the
// same run may be answered without the dialog when the desktop allows it.
//
// Threads: every ContentPicker call on the Qt main thread (a QCoreApplication must exist).
// present() returns at once; the outcome reaches the observers later from the Qt event loop on
// the same thread. Presenting while the desktop's dialog is open does nothing more: that
// dialog's one outcome answers both.
std::shared_ptr<ContentPicker> makePortalContentPicker(PortalPickerOptions options = {});

}  // namespace skylark
