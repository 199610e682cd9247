#include "common/allocator_tuning.hpp"

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace skylark {

void keepLargeBlocksMapped() {
#if defined(__GLIBC__)
    // glibc maps blocks above a threshold of their own and unmaps them on free, but raises the
    // threshold to the size of each such block freed: after a cast's first 8 MB picture goes,
    // pictures and encoder frames come from the heaps of the threads that asked for them, and
    // every cast starts new threads, so the heaps kept what each cast had left behind (the
    // driver grew to 150-180 MB after a few casts, and stays near 62 MB with this). Setting
    // the threshold fixes it; 1 MiB keeps segments and packets in the heaps.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

}  // namespace skylark
