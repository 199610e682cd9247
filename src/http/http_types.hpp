#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.hpp"

namespace skylark {

class ResponseStream;

// One framed request, as the route table sees it.
struct HTTPRequest {
    std::string method;  // first token of the request line, compared case-sensitively
    std::string path;    // request target without its query string, not percent-decoded
    std::string header;  // request line and header lines as received, without the blank line
    ByteBuffer body;     // exactly Content-Length bytes; never null
    std::string peer;    // the client's address (an IPv4 one as such, not mapped); may be empty
};

// One response; the writer adds the fixed header lines around it.
struct HTTPResponse {
    std::string status = "200 OK";
    std::string contentType = "application/json";
    ByteBuffer body = emptyBody();
    std::string location;  // a Location header line when not empty
    // When set, the body is not `body` but what this makes, sent in chunks as it is made.
    std::shared_ptr<ResponseStream> stream;

    static ByteBuffer emptyBody() {
        static const ByteBuffer empty = makeBuffer(Bytes{});
        return empty;
    }
};

// A body made while it is sent. The connection asks for the next step whenever it has sent the
// last one, and again after every change of the source while it waits; on the server thread.
class ResponseStream {
public:
    using Clock = std::chrono::steady_clock;
    struct Slice {
        ByteBuffer data;
        std::size_t offset = 0;  // bytes of `data` already sent
    };
    struct Step {
        enum class Kind {
            wait,     // nothing yet; before the first chunk, ask again at `until` at the latest
            respond,  // no stream after all: `response` is the whole answer
            send,     // `slices` are the next chunk (the status line goes first the first time)
            finish,   // `slices` are the last bytes; the body is complete after them
            abort,    // the body can never be completed: close without ending it
        };
        Kind kind = Kind::wait;
        std::vector<Slice> slices;
        HTTPResponse response;
        Clock::time_point until = Clock::time_point::max();
    };
    virtual ~ResponseStream() = default;
    virtual Step next(Clock::time_point now) = 0;
};

}  // namespace skylark
