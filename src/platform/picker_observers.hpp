#pragma once

#include <QTimer>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "caster/capture_platform.hpp"

namespace skylark {

// The observers of a content picker (the X11 one, the portal's, and the one choosing between
// them). Observers are called without the lock held: they may call back into the picker.
class PickerObservers {
  public:
    void add(std::weak_ptr<ContentPickerObserver> observer) {
        std::lock_guard lock(mutex_);
        observers_.push_back(std::move(observer));
    }

    // Those still alive.
    std::vector<std::shared_ptr<ContentPickerObserver>> live() {
        std::vector<std::shared_ptr<ContentPickerObserver>> live;
        std::lock_guard lock(mutex_);
        for (auto& weak : observers_) {
            if (auto observer = weak.lock()) {
                live.push_back(std::move(observer));
            }
        }
        return live;
    }

    void startDidFail(const Error& error) {
        for (auto& observer : live()) {
            observer->contentSharingPickerStartDidFail(error);
        }
    }

    // startDidFail from the event loop, never from inside a picker call. `picker` owns this
    // list; once it is gone nobody is told.
    void startDidFailLater(std::weak_ptr<const void> picker, Error error) {
        QTimer::singleShot(0, [this, picker = std::move(picker), error = std::move(error)] {
            if (auto alive = picker.lock()) {
                startDidFail(error);
            }
        });
    }

  private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<ContentPickerObserver>> observers_;
};

}  // namespace skylark
