#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "common/bytes.hpp"

namespace skylark {

// The hand-off point between the native caster (writer) and the HTTP server (reader): the
// current cast's initialization segment and a rolling window of its newest media segments,
// numbered in order of arrival, plus whether a cast is live.
//
// Every operation is atomic with respect to every other and safe from any thread: one lock is
// held for the whole of each operation, and nothing is called out while it is held. Buffers
// handed out are the stored ones, shared and immutable, and stay valid after they leave the
// window.
class LiveHLSStore {
public:
    static constexpr std::size_t kWindowSize = 8;

    // Starts a new cast: drops all content, restarts identifiers at 0 and marks the store active.
    void reset();
    // Marks the cast inactive; the content stays until the next reset.
    void stop();
    void addInitialization(ByteBuffer data);
    // Stores a media segment under the next identifier, dropping the oldest beyond the window.
    void addSegment(ByteBuffer data);

    // True only when active with an initialization segment and a media segment.
    bool isLive() const;
    ByteBuffer initData() const;
    // The segment with that identifier, or null when it is not in the window.
    ByteBuffer segment(std::int64_t id) const;
    // The live HLS playlist, or null when there is no initialization or media segment.
    ByteBuffer playlist() const;

private:
    struct Entry {
        std::int64_t id;
        ByteBuffer data;
    };

    mutable std::mutex lock_;
    ByteBuffer initialization_;
    std::deque<Entry> segments_;
    std::int64_t nextID_ = 0;
    bool active_ = false;
};

}  // namespace skylark
