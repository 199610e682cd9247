#include "common/media_time.hpp"

#include <cmath>
#include <limits>

namespace skylark {

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t preferredTimescale) {
    if (std::isnan(seconds) || preferredTimescale <= 0) {
        return invalid();
    }
    if (std::isinf(seconds)) {
        return seconds > 0 ? positiveInfinity() : negativeInfinity();
    }
    // Keep the preferred timescale unless the value would overflow, in which case halve the
    // timescale until it fits; mark any rounding.
    constexpr double kLimit = 9.2e18;  // a little below 2^63
    std::int32_t timescale = preferredTimescale;
    while (timescale > 1 && std::fabs(seconds * timescale) >= kLimit) {
        timescale /= 2;
    }
    const double ticks = seconds * timescale;
    if (std::fabs(ticks) >= kLimit) {
        return ticks > 0 ? positiveInfinity() : negativeInfinity();
    }
    const double rounded = std::nearbyint(ticks);
    MediaTime time = make(static_cast<std::int64_t>(rounded), timescale);
    if (rounded != ticks || timescale != preferredTimescale) {
        time.flags |= kHasBeenRounded;
    }
    return time;
}

double MediaTime::seconds() const {
    if (isNumeric()) {
        return static_cast<double>(value) / static_cast<double>(timescale);
    }
    if ((flags & kValid) != 0 && (flags & kPositiveInfinity) != 0) {
        return std::numeric_limits<double>::infinity();
    }
    if ((flags & kValid) != 0 && (flags & kNegativeInfinity) != 0) {
        return -std::numeric_limits<double>::infinity();
    }
    return std::numeric_limits<double>::quiet_NaN();
}

namespace {

// The place of a time's kind in the total order of compare().
int rank(const MediaTime& t) {
    if (!t.isValid()) {
        return 4;
    }
    if ((t.flags & MediaTime::kPositiveInfinity) != 0) {
        return 3;
    }
    if ((t.flags & MediaTime::kIndefinite) != 0) {
        return 2;
    }
    if ((t.flags & MediaTime::kNegativeInfinity) != 0) {
        return 0;
    }
    return 1;  // numeric
}

template <class T>
int sign(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

int compare(const MediaTime& a, const MediaTime& b) {
    const int rankA = rank(a);
    const int rankB = rank(b);
    if (rankA != rankB || rankA != 1) {
        return sign(rankA, rankB);
    }
    if (a.epoch != b.epoch) {
        return sign(a.epoch, b.epoch);
    }
    // Both timescales are positive here; each product fits in 64 + 32 bits.
    const __int128 left = static_cast<__int128>(a.value) * b.timescale;
    const __int128 right = static_cast<__int128>(b.value) * a.timescale;
    return sign(left, right);
}

}  // namespace skylark
