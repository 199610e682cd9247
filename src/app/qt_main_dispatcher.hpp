#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "common/main_dispatcher.hpp"

class QObject;

namespace skylark {

// The main-thread dispatcher on Qt: each posted item becomes a queued call on an object that
// lives on the QApplication's thread, so items run there one at a time, in the order posted,
// between the event loop's own events.
//
// Create it on the main thread while the QCoreApplication exists. post() may be called from
// any thread. close() (main thread; also done by the destructor) drops items not yet run and
// every later post, so no work reaches an application that is going away.
class QtMainDispatcher final : public MainDispatcher {
  public:
    QtMainDispatcher();
    ~QtMainDispatcher() override;
    QtMainDispatcher(const QtMainDispatcher&) = delete;
    QtMainDispatcher& operator=(const QtMainDispatcher&) = delete;

    void post(std::function<void()> work) override;
    void close();

  private:
    std::mutex lock_;
    // Deleting it discards the calls still queued for it.
    std::unique_ptr<QObject> receiver_;
};

}  // namespace skylark
