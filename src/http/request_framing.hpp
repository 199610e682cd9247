#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_types.hpp"

namespace skylark {

// Bounds that keep one client from exhausting memory; other connections are unaffected. No route
// takes a body larger than a session description needs.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr std::int64_t kMaxBodyBytes = 64 * 1024;

// Frames one request as its bytes arrive: a header block ended by CR LF CR LF, then as many body
// bytes as Content-Length announces. Each byte is looked at once, however the bytes are split;
// bytes after the body are ignored. As soon as the header block is complete, `check` may refuse
// the request before any of its body is kept.
class RequestFramer {
public:
    enum class State {
        Header,    // the header block is still arriving
        Body,      // the header block was accepted; the body is still arriving
        Complete,  // take the request
        Rejected,  // answer the rejection and close
    };
    using HeadCheck =
        std::function<std::optional<HTTPResponse>(const HTTPRequest& head, std::int64_t length)>;

    explicit RequestFramer(HeadCheck check = {});

    // Takes the next bytes of the connection. Does nothing once Complete or Rejected.
    void feed(std::span<const std::uint8_t> bytes);
    State state() const { return state_; }
    // The request, its body exactly Content-Length bytes (valid once, when Complete).
    HTTPRequest takeRequest();
    // The response that refuses the request (valid once, when Rejected).
    HTTPResponse takeRejection();

private:
    void headerEnds(std::size_t at);
    void reject(HTTPResponse response);

    HeadCheck check_;
    State state_ = State::Header;
    Bytes received_;           // the header block while it arrives, then the body
    std::size_t scanned_ = 0;  // header bytes already searched for the blank line
    std::size_t bodyLength_ = 0;
    HTTPRequest request_;
    HTTPResponse rejection_;
};

// The same framing over bytes that are all there: what a connection reading them in any number
// of pieces would decide.
struct FrameResult {
    RequestFramer::State state;
    HTTPRequest request;     // when Complete
    HTTPResponse rejection;  // when Rejected
};
FrameResult frameRequest(std::span<const std::uint8_t> received,
                         RequestFramer::HeadCheck check = {});

// The agreed value of the "Content-Length:" lines (any letter case, the request line included;
// one that is not a decimal integer fitting 64 bits counts as 0), 0 when there is none, and
// nothing when two of them disagree.
std::optional<std::int64_t> contentLength(std::string_view header);

// Method and path from the first header line, with the defaults "GET" and "/".
HTTPRequest parseRequest(std::string header, ByteBuffer body);

// Every value of the header field `name` (any letter case), trimmed, in order.
std::vector<std::string_view> headerValues(std::string_view header, std::string_view name);

// A plain-text response with the given status, as every refusal is answered.
HTTPResponse plainResponse(std::string status, std::string_view text);

}  // namespace skylark
