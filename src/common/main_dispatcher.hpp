#pragma once

#include "common/executor.hpp"

namespace skylark {

// Posts work to the main thread (the thread of the application's event loop), where the user
// interface lives.
//
// Contract, in addition to Executor's: every posted item runs on the main thread, one at a
// time, in the order posted (a serial executor), interleaved with the event loop's own events.
// The application implements it with Qt (queued invocation on the QApplication's thread); tests
// use a plain queue that the test thread runs by hand.
//
// Nothing here waits for the work to run: a caller that needs to go on after the work has run
// posts its continuation from inside the work item. Never block the main thread waiting for
// work that needs the main thread.
class MainDispatcher : public Executor {};

}  // namespace skylark
