#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "http/http_types.hpp"
#include "http/webrtc_viewers.hpp"

namespace skylark {

inline constexpr std::string_view kWhepPath = "/live/whep";

// What the WebRTC route needs besides the request: the viewers (null: none can be served) and
// a way to wake waiting responses once an answer is ready (any thread).
struct WhepContext {
    WebRTCViewers* viewers = nullptr;
    std::function<void()> wake;
    // How long an answer may take before the viewer is told to use the HLS stream.
    std::chrono::milliseconds answerWait{10000};
};

// POST /live/whep (an SDP offer in, a streamed wait for the answer out) and
// DELETE /live/whep/<id>; nothing for other requests.
std::optional<HTTPResponse> whepRoute(const HTTPRequest& request, const WhepContext& context);

}  // namespace skylark
