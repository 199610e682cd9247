#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/x11/shm_image.hpp"
#include "platform/x11/x11_desktop.hpp"

namespace skylark::x11 {

// Where frames come from: one monitor's rectangle of the screen, or one application window.
// A source owns its own X connection and is used by one thread at a time (the capture thread).
class FrameSource {
  public:
    enum class Status {
        ok,      // `pixels` holds a whole frame
        failed,  // no frame this time (window unmapped, area off screen); try again later
        ended,   // the content is gone for good; `endReason()` says why
    };
    struct Grab {
        Status status = Status::failed;
        PixelView pixels;
        // True when all of `pixels` may differ from the previous grab's. Otherwise only the
        // rows in `changed` (in order, merged) do: the previous grab was of the same area and
        // size, and every other row holds the same pixels as then, pointer included.
        bool whole = true;
        std::vector<frames::RowSpan> changed;
    };

    virtual ~FrameSource() = default;

    // Copies the current pixels (or what changed of them). The view stays valid until the next
    // call.
    virtual Grab grab() = 0;

    // A sentence for the user once grab() has answered `ended`.
    virtual const std::string& endReason() const = 0;

    // Empty, or a line for the trace on why the frames lack the mouse pointer.
    virtual const std::string& pointerProblem() const = 0;
};

// The monitor named `monitorName` on `displayName` (empty: $DISPLAY). Null with a reason in
// `error` when the display cannot be opened, lacks MIT-SHM, or has no such monitor.
std::unique_ptr<FrameSource> openDisplaySource(const std::string& displayName,
                                               const std::string& monitorName, std::string& error);

// The window `window` through XComposite, so covered parts are its own pixels, following its
// size. It ends when the window is destroyed. Null with a reason when it cannot be captured.
std::unique_ptr<FrameSource> openWindowSource(const std::string& displayName, xcb_window_t window,
                                              std::string& error);

}  // namespace skylark::x11
