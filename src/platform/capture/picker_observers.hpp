#pragma once

#include <QTimer>

#include <memory>
#include <utility>

#include "caster/capture_platform.hpp"

namespace skylark {

// The observer of the presentation under way, for a content picker (the X11 one, the
// portal's, and the one choosing between them): a presentation that joins one still shown
// replaces it, and the outcome goes to it once. Main thread only, like the pickers; the
// observer is called with nothing locked, so it may present again.
class PickerObserverSlot {
  public:
    void set(std::weak_ptr<ContentPickerObserver> observer) { observer_ = std::move(observer); }

    // The observer the outcome is for, or null; the slot is empty afterwards.
    std::shared_ptr<ContentPickerObserver> take() { return std::exchange(observer_, {}).lock(); }

    void fail(const Error& error) {
        if (auto observer = take()) {
            observer->pickerDidFail(error);
        }
    }

    // fail from the event loop, never from inside a picker call. `picker` owns this
    // slot; once it is gone nobody is told.
    void failLater(std::weak_ptr<const void> picker, Error error) {
        QTimer::singleShot(0, [this, picker = std::move(picker), error = std::move(error)] {
            if (auto alive = picker.lock()) {
                fail(error);
            }
        });
    }

  private:
    std::weak_ptr<ContentPickerObserver> observer_;
};

}  // namespace skylark
