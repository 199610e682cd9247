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
    std::chrono::milliseconds response{30000};    // the whole response, from the complete request
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
    // Calls resume() on `connection` once after the next change of what streamed bodies are made
    // of (the live store), unless it has closed by then.
    virtual void awaitChange(std::weak_ptr<class Connection> connection) = 0;
};

// One TCP connection: reads until one request is framed (or refused), writes one response, then
// closes. Each pending handler holds the connection alive through shared_from_this(). A streamed
// response goes out in chunks as its stream makes them; the write-stall deadline covers the
// whole time from one chunk to the next, so a stream that stops, or a reader that stops
// reading, closes the connection.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // `onClose` runs once, when the socket closes.
    Connection(asio::ip::tcp::socket socket, ConnectionHost& host, std::function<void()> onClose);
    ~Connection();
    void start();
    void close();
    // Asks a waiting stream for its next step.
    void resume();

private:
    // Awaiting: a streamed response that has not begun, waiting to know its status.
    enum class Phase { Header, Body, Awaiting, Writing, Lingering, Closed };
    using Clock = std::chrono::steady_clock;

    bool receiving() const { return phase_ == Phase::Header || phase_ == Phase::Body; }
    bool responding() const { return phase_ == Phase::Awaiting || phase_ == Phase::Writing; }
    void waitForBytes();
    void onReadable(const asio::error_code& error);
    void enter(Phase phase);
    Clock::time_point deadline() const;
    void onTimer(const asio::error_code& error);
    std::string peerAddress() const;
    void send(HTTPResponse response);
    void queueChunk(ResponseStream::Step step);
    void writeMore();
    void finishResponse();

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    ConnectionHost& host_;
    std::function<void()> onClose_;
    RequestFramer framer_;
    Phase phase_ = Phase::Header;
    const Clock::time_point accepted_ = Clock::now();
    Clock::time_point lastProgress_;
    Clock::time_point responseBy_ = Clock::time_point::max();
    // What is being written: the buffers still unsent, and what keeps their bytes alive.
    std::vector<asio::const_buffer> unsent_;
    std::string framing_;  // the header block and a chunk's size line
    std::vector<ByteBuffer> held_;
    bool writing_ = false;
    std::shared_ptr<ResponseStream> stream_;  // until its body has ended
    std::string streamHeader_;                // the stream's header block, until it begins
    bool streamBegun_ = false;
    Clock::time_point awaitUntil_;
};

}  // namespace skylark
