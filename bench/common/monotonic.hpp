#pragma once

// The bench programs' clock: CLOCK_MONOTONIC in nanoseconds, the clock Skylark stamps media on.

#include <cstdint>
#include <ctime>

namespace skylark::bench {

constexpr std::int64_t kSecondNs = 1'000'000'000;

inline std::int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * kSecondNs + t.tv_nsec;
}

inline void sleepUntil(std::int64_t ns) {
    const timespec t{static_cast<time_t>(ns / kSecondNs), static_cast<long>(ns % kSecondNs)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
}

}  // namespace skylark::bench
