#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/bytes.hpp"

namespace skylark {

// The hand-off point between the native caster (writer) and the HTTP server (reader): the
// current cast's initialization segment and a rolling window of its newest media segments,
// numbered in order of arrival, plus whether a cast is live. The segment being written is kept
// too, as the fragments made so far, under the identifier it will have when it completes; only
// progressive readers see it, the playlist and the segment lookup never do.
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
    // Stores a media segment under the next identifier, dropping the oldest beyond the window,
    // and with it the fragments of that segment.
    void addSegment(ByteBuffer data);
    // Adds a fragment to the segment being written (the next identifier).
    void addPart(ByteBuffer data);
    // Called after every change a progressive reader may wait for (a fragment, a segment, a
    // reset, a stop), on the changing thread and outside the lock, so it must not block. Null to
    // remove; once this returns, the previous listener is no longer called.
    void setListener(std::function<void()> listener);

    // True only when active with an initialization segment and a media segment.
    bool isLive() const;
    ByteBuffer initData() const;
    // The segment with that identifier, or null when it is not in the window.
    ByteBuffer segment(std::int64_t id) const;
    // The live HLS playlist, or null when there is no initialization or media segment.
    ByteBuffer playlist() const;

    // What there is of segment `id` now, for a progressive reader.
    struct Progress {
        enum class State {
            absent,   // neither in the window nor being written
            growing,  // being written in an active cast: `parts` holds its fragments from `from` on
            complete,  // in the window: `segment` holds all of it
        };
        State state = State::absent;
        std::uint64_t cast = 0;    // changes at every reset: identifiers start again
        bool active = false;       // a cast is live
        std::int64_t writing = 0;  // the identifier of the segment being written (or next to be)
        std::vector<ByteBuffer> parts;
        ByteBuffer segment;
    };
    Progress progress(std::int64_t id, std::size_t from) const;

  private:
    struct Entry {
        std::int64_t id;
        ByteBuffer data;
    };

    mutable std::mutex lock_;
    ByteBuffer initialization_;
    std::deque<Entry> segments_;
    std::vector<ByteBuffer> parts_;  // of segment nextID_
    std::int64_t nextID_ = 0;
    std::uint64_t cast_ = 0;
    bool active_ = false;
    std::shared_ptr<const std::function<void()>> listener_;
    // Held while the listener runs, so removing it waits out a call under way.
    mutable std::mutex listening_;

    void changed();
};

}  // namespace skylark
