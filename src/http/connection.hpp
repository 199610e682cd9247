#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "http/http_types.hpp"
#include "http/request_framing.hpp"

namespace skylark {

// How long each phase of a connection may take. None is extended by a byte that trickles in.
struct ConnectionDeadlines {
    std::chrono::milliseconds header{10000};      // the header block, from accept
    std::chrono::milliseconds request{30000};     // the whole request, from accept
    std::chrono::milliseconds writeStall{15000};  // a response write without progress
    std::chrono::milliseconds linger{2000};       // draining unread bytes after the response
};

// What a connection needs from its server. Called on the server thread only.
class ConnectionHost {
public:
    virtual ~ConnectionHost() = default;
    // A refusal of a request whose header block is complete, before its body is read.
    virtual std::optional<HTTPResponse> refuse(const HTTPRequest& head, std::int64_t length) = 0;
    // The response to one complete request.
    virtual HTTPResponse respond(const HTTPRequest& request) = 0;
    // Scratch space for reads; every connection runs on the one server thread, so one suffices.
    virtual std::span<std::uint8_t> readScratch() = 0;
    virtual const ConnectionDeadlines& deadlines() const = 0;
};

// One TCP connection: reads until one request is framed (or refused), writes one response, then
// closes. Each pending handler holds the connection alive through shared_from_this().
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // `onClose` runs once, when the socket closes.
    Connection(asio::ip::tcp::socket socket, ConnectionHost& host, std::function<void()> onClose);
    ~Connection();
    void start();
    // Whether closing it now loses no response: the request is still arriving, or the response
    // was sent and unread bytes are being drained.
    bool evictable() const { return receiving() || phase_ == Phase::Lingering; }
    void close();

private:
    enum class Phase { Header, Body, Writing, Lingering, Closed };
    using Clock = std::chrono::steady_clock;

    bool receiving() const { return phase_ == Phase::Header || phase_ == Phase::Body; }
    void waitForBytes();
    void onReadable(const asio::error_code& error);
    void enter(Phase phase);
    Clock::time_point deadline() const;
    void onTimer(const asio::error_code& error);
    void send(HTTPResponse response);
    void writeMore();

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    ConnectionHost& host_;
    std::function<void()> onClose_;
    RequestFramer framer_;
    Phase phase_ = Phase::Header;
    const Clock::time_point accepted_ = Clock::now();
    Clock::time_point lastProgress_;
    std::string responseHeader_;
    ByteBuffer responseBody_;
    std::size_t written_ = 0;
};

}  // namespace skylark
