#pragma once

#include <functional>

namespace skylark {

// A place to run work later: a serial queue, the main thread, or a test's manual queue.
//
// Contract for every implementation:
// - post() may be called from any thread, also from inside work running on this executor.
// - post() never runs the work inside the call; it runs later, on the executor's own thread(s).
// - Work posted from one thread starts in the order it was posted (FIFO).
// - Work that throws is a programming error (std::terminate).
// - Work posted after the executor has begun to shut down may be dropped, destroyed unrun.
class Executor {
  public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> work) = 0;
};

}  // namespace skylark
