#pragma once

#include <asio.hpp>
#include <memory>
#include <span>
#include <string>

#include "http/http_types.hpp"

namespace skylark {

// What a connection needs from its server. Called on the server thread only.
class ConnectionHost {
public:
    virtual ~ConnectionHost() = default;
    // The response to one complete request.
    virtual HTTPResponse respond(std::string header, ByteBuffer body) = 0;
    // Scratch space for reads; every connection runs on the one server thread, so one suffices.
    virtual std::span<std::uint8_t> readScratch() = 0;
    virtual std::chrono::milliseconds idleTimeout() const = 0;
    virtual void connectionClosed() = 0;
};

// One TCP connection: reads until one request is framed (or rejected), writes one response,
// then closes. Each pending handler holds the connection alive through shared_from_this().
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::ip::tcp::socket socket, ConnectionHost& host);
    ~Connection();
    void start();

private:
    void waitForBytes();
    void onReadable(const asio::error_code& error);
    void armTimer(std::chrono::milliseconds after);
    void send(HTTPResponse response);
    void drainThenClose();
    void close();

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    ConnectionHost& host_;
    std::vector<std::uint8_t> received_;
    std::string responseHeader_;
    ByteBuffer responseBody_;
    bool answered_ = false;
};

}  // namespace skylark
