#pragma once

#include <cstdint>

namespace skylark {

// A rational media time, in the usual media-framework shape: `value` ticks
// of 1/`timescale` second, with flags and an epoch. A plain value: copy it freely, share it
// between threads by copying.
//
// Capture implementations stamp every sample (screen and audio alike) with times of one clock,
// so that a frame and an audio buffer can be compared (see media_frames.hpp).
struct MediaTime {
    // Flag bits.
    static constexpr std::uint32_t kValid = 1u << 0;
    static constexpr std::uint32_t kHasBeenRounded = 1u << 1;
    static constexpr std::uint32_t kPositiveInfinity = 1u << 2;
    static constexpr std::uint32_t kNegativeInfinity = 1u << 3;
    static constexpr std::uint32_t kIndefinite = 1u << 4;

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;  // zero: an invalid time
    std::int64_t epoch = 0;

    // value/timescale seconds, valid. A timescale of zero or less gives an invalid time.
    static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) {
        return timescale > 0 ? MediaTime{value, timescale, kValid, 0} : MediaTime{};
    }
    // The time nearest to `seconds` at `preferredTimescale` (0.25 at 600 gives 150/600). Not
    // finite: the matching infinite or invalid time.
    static MediaTime fromSeconds(double seconds, std::int32_t preferredTimescale);

    static constexpr MediaTime invalid() { return MediaTime{}; }
    static constexpr MediaTime positiveInfinity() {
        return MediaTime{0, 0, kValid | kPositiveInfinity, 0};
    }
    static constexpr MediaTime negativeInfinity() {
        return MediaTime{0, 0, kValid | kNegativeInfinity, 0};
    }
    static constexpr MediaTime indefinite() { return MediaTime{0, 0, kValid | kIndefinite, 0}; }

    // The valid flag is set, and the time is infinite, indefinite or has a positive timescale.
    constexpr bool isValid() const {
        return (flags & kValid) != 0 &&
               (timescale > 0 || (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)));
    }
    // Valid and neither infinite nor indefinite.
    constexpr bool isNumeric() const {
        return (flags & kValid) != 0 &&
               (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) == 0 &&
               timescale > 0;
    }
    // Seconds as a double (NaN when not numeric).
    double seconds() const;

    // The same representation (1/2 and 2/4 differ); compare() orders times by value.
    friend constexpr bool operator==(const MediaTime&, const MediaTime&) = default;
};

// Orders two media times: negative when `a` is earlier, zero when equal,
// positive when later (always -1, 0 or 1). Numeric times compare by their rational value,
// exactly (128-bit cross multiplication, never overflows); a numerically larger epoch is always
// later. The total order is: negative infinity < numeric times < indefinite < positive infinity
// < invalid, each of the non-numeric kinds equal to itself.
int compare(const MediaTime& a, const MediaTime& b);

}  // namespace skylark
