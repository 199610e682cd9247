#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "hls/live_hls_store.hpp"
#include "http/http_types.hpp"

namespace skylark {

// The body of /live/progressive/segment<N>.m4s: a complete segment whole, the segment being
// written fragment by fragment until it completes, the next one once it begins. A reader
// cannot tell a complete body from a cut one but by its end, so a segment that will never
// complete (the cast stopped or restarted) is aborted rather than ended.
class ProgressiveSegment final : public ResponseStream {
public:
    // `store` outlives this; `beginWait` is how long a segment not begun yet is waited for.
    ProgressiveSegment(const LiveHLSStore& store, std::int64_t id,
                       std::chrono::milliseconds beginWait);
    Step next(Clock::time_point now) override;

private:
    const LiveHLSStore& store_;
    const std::int64_t id_;
    const std::chrono::milliseconds beginWait_;
    std::optional<Clock::time_point> beginBy_;
    std::optional<std::uint64_t> cast_;  // set once the first bytes went out
    std::size_t partsSent_ = 0;
    std::size_t bytesSent_ = 0;
};

}  // namespace skylark
