#pragma once

#include <memory>
#include <string>

#include "caster/capture_platform.hpp"

class QDialog;

namespace skylark {

// The content picker of X11 sessions: a small Qt dialog listing the displays (RandR monitors,
// with their names and sizes, the primary first) and the application windows (by class and
// title), offering a whole display or one application, nothing else.
//
// Threads: every ContentPicker call on the Qt main thread (the QApplication's). present()
// returns at once; the outcome reaches the observers later from the Qt event loop on the same
// thread: a selection with an X11ContentFilter (sizes in pixels, pixel scale 1), a
// cancellation, or a failure (no X display, nothing to share). Presenting while the dialog is
// open brings it to the front; that presentation shares the open dialog's one outcome.
class X11ContentPicker : public ContentPicker {
  public:
    // The currently open dialog, or null (for automation and tests).
    virtual QDialog* dialog() const = 0;
};

// `displayName`: the X display to list (empty: the DISPLAY variable), which must be the one
// the QApplication shows its windows on.
std::shared_ptr<X11ContentPicker> makeX11ContentPicker(std::string displayName = {});

}  // namespace skylark
