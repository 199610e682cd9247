#include "common/allocator_tuning.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

// By default glibc serves the second large block from a heap that keeps it after free.
TEST(AllocatorTuning, EveryLargeBlockIsMappedAndReturned) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator replaces glibc's";
#endif
    skylark::keepLargeBlocksMapped();
    for (int round = 0; round < 3; ++round) {
        const std::size_t before = mallinfo2().hblkhd;
        void* volatile block = std::malloc(8 << 20);  // volatile: the pair is not elided
        ASSERT_GE(mallinfo2().hblkhd, before + (8 << 20)) << "round " << round;
        std::free(block);
        EXPECT_EQ(mallinfo2().hblkhd, before) << "round " << round;
    }
}
