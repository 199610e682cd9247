#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "hls/live_hls_store.hpp"
#include "http/device_access.hpp"
#include "http/webrtc_viewers.hpp"
#include "signaling/signal_state.hpp"

namespace skylark {

// The application's only network endpoint: a minimal HTTP/1.1 server, one request per
// connection, on all interfaces (IPv6 and IPv4). All its network work runs on one thread of its
// own, one event at a time. There is no stop: it serves until it is destroyed.
class HTTPServer {
public:
    static constexpr std::uint16_t kPort = 8765;

    struct Options {
        std::uint16_t port = kPort;  // 0 picks a free port (tests)
        // A request's header block must arrive within headerTimeout of accept, and all of it
        // within requestTimeout; a response write that makes no progress for writeStallTimeout,
        // or that has not ended responseTimeout after the request was complete, closes the
        // connection.
        std::chrono::milliseconds headerTimeout{10000};
        std::chrono::milliseconds requestTimeout{30000};
        std::chrono::milliseconds writeStallTimeout{15000};
        std::chrono::milliseconds responseTimeout{30000};
        // No address holds more than maxConnectionsPerPeer, and no IPv6 /64 (where every device
        // of a home network may sit) more than maxConnectionsPerNetwork. When a bound is reached,
        // a newcomer takes the place of the oldest connection, in whatever phase, of the address
        // holding the most within that bound, if that address would still hold more than the
        // newcomer's, or if the newcomer's holds none.
        std::size_t maxConnections = 512;
        std::size_t maxConnectionsPerPeer = 32;
        std::size_t maxConnectionsPerNetwork = 128;
        bool advertise = true;  // DNS-SD as "Skylark on <computer name>"
        // Which devices may watch; empty: a list of its own, asking, with nobody allowed.
        std::shared_ptr<DeviceAccess> access = nullptr;
        // The native cast's WebRTC viewers at /live/whep; empty: that route answers that no cast
        // is live.
        std::shared_ptr<WebRTCViewers> viewers = nullptr;
    };

    HTTPServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> liveStore);
    HTTPServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> liveStore,
               Options options);
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Listens and starts serving. Throws std::system_error when the listener cannot be set up
    // (for example "bind: Address already in use"). Call once.
    void start();

    // The listening port (the configured one, or the one picked for port 0 once started).
    std::uint16_t port() const;
    SignalState& state();
    LiveHLSStore& liveStore();
    DeviceAccess& access();
    // The IPv4 address the TV should open, found afresh on every call.
    std::string localAddress() const;

    // What the server keeps track of right now (asked on its thread; call after start()).
    struct Tracked {
        std::size_t connections = 0;
        std::size_t addresses = 0;  // addresses and IPv6 networks with open connections
        std::size_t awaiting = 0;   // streamed responses waiting for the store to change
    };
    Tracked tracked() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace skylark
