#include "http/connection.hpp"

#include <algorithm>
#include <cstdio>

#include "http/response_writer.hpp"

namespace skylark {
namespace {

// Up to this many bytes are taken per read cycle, so a request of a few kilobytes (an offer or
// an answer) arrives in one cycle while one client cannot hog the server thread.
constexpr std::size_t kMaxReadPerCycle = 1024 * 1024;

// The kernel would grow each socket's send buffer to 4 MiB for a reader that never reads: with
// hundreds of them, system-wide TCP memory pressure slows every connection, the TV's too. 256 KiB
// (the kernel doubles it) still carries a cast's few Mbit/s over a LAN's round trips.
constexpr int kSendBufferBytes = 256 * 1024;

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
    socket_.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
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
        case Phase::Awaiting:
            return std::min(awaitUntil_, responseBy_);
        case Phase::Writing:
            return std::min(lastProgress_ + d.writeStall, responseBy_);
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
        if (phase_ == Phase::Awaiting && Clock::now() < responseBy_) {
            resume();  // the stream decides: it begins, or it is not found
        } else {
            close();
        }
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
    while (taken < kMaxReadPerCycle && !responding()) {
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
                HTTPRequest request = framer_.takeRequest();
                request.peer = peerAddress();
                send(host_.respond(request));
            } else if (framer_.state() == RequestFramer::State::Rejected) {
                send(framer_.takeRejection());
            }
        }
        if (error) {
            // End of stream or a connection error: a request not yet complete gets no answer.
            if (!responding()) {
                close();
            }
            return;
        }
    }
    if (receiving() || phase_ == Phase::Lingering) {
        waitForBytes();
    }
}

std::string Connection::peerAddress() const {
    asio::error_code error;
    asio::ip::address address = socket_.remote_endpoint(error).address();
    if (error) {
        return {};
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

void Connection::send(HTTPResponse response) {
    if (responseBy_ == Clock::time_point::max()) {
        responseBy_ = Clock::now() + host_.deadlines().response;
    }
    if (response.stream) {
        streamHeader_ = responseHeader(response);  // sent before the first chunk
        stream_ = std::move(response.stream);
        resume();
        return;
    }
    framing_ = responseHeader(response);
    held_.push_back(std::move(response.body));
    unsent_ = {asio::buffer(framing_), asio::buffer(*held_.back())};
    enter(Phase::Writing);
    writeMore();
}

void Connection::resume() {
    if (phase_ == Phase::Closed || writing_ || !stream_) {
        return;
    }
    ResponseStream::Step step = stream_->next(Clock::now());
    switch (step.kind) {
        case ResponseStream::Step::Kind::wait:
            if (!streamBegun_ && phase_ != Phase::Awaiting) {
                awaitUntil_ = step.until;
                enter(Phase::Awaiting);
            }
            host_.awaitChange(weak_from_this());
            return;
        case ResponseStream::Step::Kind::respond:
            stream_.reset();
            send(std::move(step.response));
            return;
        case ResponseStream::Step::Kind::abort:
            close();
            return;
        case ResponseStream::Step::Kind::send:
        case ResponseStream::Step::Kind::finish:
            queueChunk(std::move(step));
            return;
    }
}

// The status line before the first chunk; after the last, the zero chunk that ends the body.
void Connection::queueChunk(ResponseStream::Step step) {
    framing_.clear();
    if (!streamBegun_) {
        framing_ = std::move(streamHeader_);
        streamBegun_ = true;
        enter(Phase::Writing);
    }
    std::size_t size = 0;
    for (const ResponseStream::Slice& slice : step.slices) {
        size += slice.data->size() - std::min(slice.offset, slice.data->size());
    }
    static constexpr std::string_view kChunkEnd = "\r\n";
    static constexpr std::string_view kBodyEnd = "0\r\n\r\n";
    unsent_.clear();
    if (size > 0) {  // an empty chunk would end the body
        char line[24];
        const int length = std::snprintf(line, sizeof line, "%zx\r\n", size);
        framing_.append(line, static_cast<std::size_t>(length));
    }
    unsent_.push_back(asio::buffer(framing_));
    if (size > 0) {
        for (ResponseStream::Slice& slice : step.slices) {
            unsent_.push_back(asio::buffer(*slice.data) + slice.offset);
            held_.push_back(std::move(slice.data));
        }
        unsent_.push_back(asio::buffer(kChunkEnd));
    }
    if (step.kind == ResponseStream::Step::Kind::finish) {
        unsent_.push_back(asio::buffer(kBodyEnd));
        stream_.reset();
    }
    writeMore();
}

// Writes piece by piece so that a reader that stops reading is noticed by its lack of progress.
void Connection::writeMore() {
    if (asio::buffer_size(unsent_) == 0) {
        finishResponse();
        return;
    }
    writing_ = true;
    socket_.async_write_some(
        unsent_, [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
            self->writing_ = false;
            if (error || self->phase_ == Phase::Closed) {
                self->close();
                return;
            }
            self->lastProgress_ = Clock::now();
            auto first = self->unsent_.begin();
            for (; first != self->unsent_.end() && n >= first->size(); ++first) {
                n -= first->size();
            }
            self->unsent_.erase(self->unsent_.begin(), first);
            if (!self->unsent_.empty()) {
                self->unsent_.front() += n;
            }
            self->writeMore();
        });
}

void Connection::finishResponse() {
    unsent_.clear();
    held_.clear();
    if (stream_) {
        resume();  // the next chunk, or wait for it
        return;
    }
    // Closing with unread request bytes would reset the connection and could discard the
    // response: drain them for a while first.
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    enter(Phase::Lingering);
    waitForBytes();
}

void Connection::close() {
    if (phase_ == Phase::Closed) {
        return;
    }
    phase_ = Phase::Closed;
    asio::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    unsent_.clear();
    held_.clear();
    stream_.reset();
    if (auto onClose = std::exchange(onClose_, {})) {
        onClose();
    }
}

}  // namespace skylark
