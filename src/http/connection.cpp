#include "http/connection.hpp"

#include "http/response_writer.hpp"

namespace skylark {
namespace {

// Up to this many bytes are taken per read cycle, so a request of a few kilobytes (an offer or
// an answer) arrives in one cycle while one client cannot hog the server thread.
constexpr std::size_t kMaxReadPerCycle = 1024 * 1024;

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket, ConnectionHost& host,
                       std::function<void()> onClose)
    : socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      host_(host),
      onClose_(std::move(onClose)),
      framer_([&host](const HTTPRequest& head, std::int64_t length) {
          return host.refuse(head, length);
      }) {}

Connection::~Connection() {
    if (onClose_) {
        onClose_();  // the server is being torn down with this connection still open
    }
}

void Connection::start() {
    asio::error_code ignored;
    socket_.non_blocking(true, ignored);
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    enter(Phase::Header);
    // A client usually sends its request right after connecting: read what is there already, so
    // that a burst of new connections cannot crowd it out before its first read.
    onReadable({});
}

// Each phase has one deadline, fixed when the phase begins; only a write's progress moves its
// own. The timer is re-armed at phase changes and otherwise re-checks when it fires.
Connection::Clock::time_point Connection::deadline() const {
    const ConnectionDeadlines& d = host_.deadlines();
    switch (phase_) {
        case Phase::Header:
            return accepted_ + d.header;
        case Phase::Body:
            return accepted_ + d.request;
        case Phase::Writing:
            return lastProgress_ + d.writeStall;
        case Phase::Lingering:
            return lastProgress_ + d.linger;
        case Phase::Closed:
            break;
    }
    return Clock::time_point::max();
}

void Connection::enter(Phase phase) {
    phase_ = phase;
    lastProgress_ = Clock::now();
    timer_.expires_at(deadline());
    timer_.async_wait(
        [self = shared_from_this()](const asio::error_code& error) { self->onTimer(error); });
}

void Connection::onTimer(const asio::error_code& error) {
    if (error || phase_ == Phase::Closed) {
        return;  // re-armed or closed meanwhile
    }
    if (Clock::now() >= deadline()) {
        close();
        return;
    }
    timer_.expires_at(deadline());
    timer_.async_wait([self = shared_from_this()](const asio::error_code& e) { self->onTimer(e); });
}

void Connection::waitForBytes() {
    socket_.async_wait(
        asio::socket_base::wait_read,
        [self = shared_from_this()](const asio::error_code& error) { self->onReadable(error); });
}

void Connection::onReadable(const asio::error_code& waitError) {
    if (waitError || phase_ == Phase::Closed) {
        close();
        return;
    }
    const std::span<std::uint8_t> scratch = host_.readScratch();
    asio::error_code error;
    std::size_t taken = 0;
    while (taken < kMaxReadPerCycle && phase_ != Phase::Writing) {
        const std::size_t n =
            socket_.read_some(asio::buffer(scratch.data(), scratch.size()), error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            error.clear();
            break;
        }
        taken += n;
        if (receiving()) {  // after the response, bytes are only drained and dropped
            framer_.feed(scratch.first(n));
            if (phase_ == Phase::Header && framer_.state() == RequestFramer::State::Body) {
                enter(Phase::Body);
            }
            if (framer_.state() == RequestFramer::State::Complete) {
                send(host_.respond(framer_.takeRequest()));
            } else if (framer_.state() == RequestFramer::State::Rejected) {
                send(framer_.takeRejection());
            }
        }
        if (error) {
            // End of stream or a connection error: a request not yet complete gets no answer.
            if (phase_ != Phase::Writing) {
                close();
            }
            return;
        }
    }
    if (receiving() || phase_ == Phase::Lingering) {
        waitForBytes();
    }
}

void Connection::send(HTTPResponse response) {
    responseHeader_ = responseHeader(response);
    responseBody_ = std::move(response.body);
    enter(Phase::Writing);
    writeMore();
}

// Writes piece by piece so that a reader that stops reading is noticed by its lack of progress.
void Connection::writeMore() {
    const std::size_t headerSize = responseHeader_.size();
    std::array<asio::const_buffer, 2> buffers{
        asio::buffer(responseHeader_) + written_,
        asio::buffer(*responseBody_) + (written_ > headerSize ? written_ - headerSize : 0)};
    socket_.async_write_some(
        buffers, [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
            if (error || self->phase_ == Phase::Closed) {
                self->close();
                return;
            }
            self->written_ += n;
            self->lastProgress_ = Clock::now();
            if (self->written_ < self->responseHeader_.size() + self->responseBody_->size()) {
                self->writeMore();
                return;
            }
            self->responseHeader_ = {};
            self->responseBody_.reset();
            // Closing with unread request bytes would reset the connection and could discard the
            // response: drain them for a while first.
            asio::error_code ignored;
            self->socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            self->enter(Phase::Lingering);
            self->waitForBytes();
        });
}

void Connection::close() {
    if (phase_ == Phase::Closed) {
        return;
    }
    phase_ = Phase::Closed;
    asio::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    responseBody_.reset();
    if (auto onClose = std::exchange(onClose_, {})) {
        onClose();
    }
}

}  // namespace skylark
