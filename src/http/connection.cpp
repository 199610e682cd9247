#include "http/connection.hpp"

#include "http/request_framing.hpp"
#include "http/response_writer.hpp"

namespace skylark {
namespace {

// Up to this many bytes are taken per read cycle, so a request of a few kilobytes (an offer or
// an answer) arrives in one cycle while one client cannot hog the server thread.
constexpr std::size_t kMaxReadPerCycle = 1024 * 1024;

// After the response, how long unread request bytes are drained before the socket closes.
// Closing with unread bytes would reset the connection and could discard the response.
constexpr std::chrono::seconds kLingerTime{2};

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket, ConnectionHost& host)
    : socket_(std::move(socket)), timer_(socket_.get_executor()), host_(host) {}

Connection::~Connection() { host_.connectionClosed(); }

void Connection::start() {
    asio::error_code ignored;
    socket_.non_blocking(true, ignored);
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    armTimer(host_.idleTimeout());
    waitForBytes();
}

void Connection::armTimer(std::chrono::milliseconds after) {
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error) {
            self->close();  // idle too long, or lingering is over
        }
    });
}

void Connection::waitForBytes() {
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](const asio::error_code& error) {
                           self->onReadable(error);
                       });
}

void Connection::onReadable(const asio::error_code& waitError) {
    if (waitError || !socket_.is_open()) {
        close();
        return;
    }
    const std::span<std::uint8_t> scratch = host_.readScratch();
    asio::error_code error;
    std::size_t taken = 0;
    bool finished = false;
    while (taken < kMaxReadPerCycle) {
        const std::size_t n = socket_.read_some(asio::buffer(scratch.data(), scratch.size()), error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            error.clear();
            break;
        }
        if (!answered_) {  // after the response, bytes are only drained and dropped
            received_.insert(received_.end(), scratch.begin(), scratch.begin() + n);
        }
        taken += n;
        if (error) {
            finished = true;  // end of stream or a connection error
            break;
        }
    }
    if (answered_) {
        finished ? close() : waitForBytes();
        return;
    }
    if (taken > 0) {
        armTimer(host_.idleTimeout());
    }

    // The bytes that arrived with the end of the stream are framed before giving up.
    FrameResult frame = frameRequest(received_);
    switch (frame.kind) {
        case FrameResult::Kind::Complete: {
            const auto bodyBegin = received_.begin() + static_cast<std::ptrdiff_t>(frame.bodyStart);
            ByteBuffer body =
                makeBuffer(Bytes(bodyBegin, bodyBegin + static_cast<std::ptrdiff_t>(frame.bodyLength)));
            received_ = {};
            send(host_.respond(std::move(frame.header), std::move(body)));
            return;
        }
        case FrameResult::Kind::Rejected:
            received_ = {};
            send(std::move(frame.rejection));
            return;
        case FrameResult::Kind::NeedMore:
            finished ? close() : waitForBytes();
            return;
    }
}

void Connection::send(HTTPResponse response) {
    answered_ = true;
    responseHeader_ = responseHeader(response);
    responseBody_ = std::move(response.body);
    timer_.cancel();
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(responseHeader_),
                                                    asio::buffer(*responseBody_)};
    asio::async_write(socket_, buffers,
                      [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                          self->responseHeader_.clear();
                          self->responseBody_.reset();
                          error ? self->close() : self->drainThenClose();
                      });
}

void Connection::drainThenClose() {
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    armTimer(std::chrono::duration_cast<std::chrono::milliseconds>(kLingerTime));
    waitForBytes();
}

void Connection::close() {
    asio::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
}

}  // namespace skylark
