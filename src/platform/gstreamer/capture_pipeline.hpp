#pragma once

#include <cstdint>

typedef struct _GstElement GstElement;

namespace skylark {

// Builds a pipeline from its description and sets it to run on the capture's clock: its running
// time is CLOCK_MONOTONIC less `base_ns`, so media stamped on the capture clock keeps its times
// through every pipeline of a cast, and their sender reports agree (the browser lip-syncs on
// them). Throws std::runtime_error, saying `what` could not be built, and why.
GstElement* makeCapturePipeline(const char* description, std::int64_t base_ns, const char* what);

// Now on the capture's clock (CLOCK_MONOTONIC), in nanoseconds.
std::int64_t captureClockNow_ns();

}  // namespace skylark
