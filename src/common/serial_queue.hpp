#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/executor.hpp"

namespace skylark {

// A serial dispatch queue: one thread of its own runs the posted work items one at a time, in
// the order posted (FIFO), each to its end before the next starts. The caster's `videoQueue`
// ("<application identifier>.capture.video") is one; capture implementations deliver samples by
// posting to it.
//
// Threads: post() and flush() are safe from any thread; post() may be called from the queue's
// own work. The label names the thread (its first 15 bytes, for debuggers and `top -H`).
//
// Lifetime: destruction stops accepting work, lets the items already queued run, and joins the
// thread. When the last reference is dropped by work running on the queue itself, the thread
// is detached instead and finishes the queued work on its own. Share it by std::shared_ptr when
// work posted from elsewhere may outlive its first owner.
class SerialQueue : public Executor {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const;

    void post(std::function<void()> work) override;

    // Blocks until every item posted before this call has run. Must not be called from the
    // queue's own work (it would wait for itself); returns at once if it is.
    void flush();

    // Whether the calling thread is this queue's thread (for assertions).
    bool isCurrent() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace skylark
