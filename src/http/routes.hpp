#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "hls/live_hls_store.hpp"
#include "http/http_types.hpp"
#include "http/responses.hpp"
#include "http/whep_route.hpp"
#include "signaling/signal_state.hpp"

namespace skylark {

// What the route table reads and calls; the server fills it once.
struct RouteContext {
    std::uint16_t port = 0;
    SignalState* state = nullptr;
    const LiveHLSStore* liveStore = nullptr;
    // Bytes of one of the three web files, or a fixed text when it cannot be read.
    std::function<ByteBuffer(std::string_view name)> file;
    std::function<std::string()> localAddress;
    // How long a progressive read of the segment after the newest waits for it to begin.
    std::chrono::milliseconds progressiveBeginWait{1000};
    // The native cast's WebRTC viewers (/live/whep).
    WhepContext whep{};
};

// The whole HTTP interface: every request gets exactly one response.
HTTPResponse route(const HTTPRequest& request, const RouteContext& context);

// The largest body the route of this request takes: a session description for the two relay
// posts and the WebRTC offer, nothing anywhere else.
std::int64_t maxBodyBytes(std::string_view method, std::string_view path);

// The identifier of "<prefix><N>.m4s": an optionally signed decimal that fits 64 bits.
std::optional<std::int64_t> segmentIdentifier(std::string_view path,
                                              std::string_view prefix = "/live/segment");

}  // namespace skylark
