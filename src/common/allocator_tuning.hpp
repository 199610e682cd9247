#pragma once

namespace skylark {

// Makes the C library's allocator give large blocks back to the system when they are freed.
// Call once at start-up, before other threads exist.
void keepLargeBlocksMapped();

}  // namespace skylark
