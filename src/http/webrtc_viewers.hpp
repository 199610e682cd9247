#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace skylark {

// The native cast's WebRTC viewers, as the /live/whep route uses them. The server owns this
// interface; src/platform/gstreamer implements it, the tests fake it.
//
// Threads: both calls come from the server thread and must not block it. open() answers
// through its handler, once, on any thread (possibly inside open()); the handler only stores
// the answer and wakes the server.
class WebRTCViewers {
  public:
    struct Answer {
        enum class Outcome {
            answered,  // `sdp` is the complete answer, `id` the new session's
            notLive,   // no native cast is live
            full,      // every place is taken
            badOffer,  // `reason` says what is wrong with the offer
        };
        Outcome outcome = Outcome::notLive;
        std::string id;  // 32 lowercase hex digits
        std::string sdp;
        std::string reason;
    };
    using AnswerHandler = std::function<void(Answer)>;

    virtual ~WebRTCViewers() = default;
    // Starts a session for a viewer's complete SDP offer.
    virtual void open(std::string offer, AnswerHandler done) = 0;
    // Ends the session `id` (its media stops soon after); false when there is none.
    virtual bool close(std::string_view id) = 0;
};

}  // namespace skylark
