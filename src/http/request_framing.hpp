#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_types.hpp"

namespace skylark {

// Bounds that keep one client from exhausting memory; other connections are unaffected.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr std::int64_t kMaxBodyBytes = 16 * 1024 * 1024;

// What the bytes received so far on a connection amount to.
struct FrameResult {
    enum class Kind {
        NeedMore,  // keep reading (or close silently if the peer has finished)
        Complete,  // `request` holds the header text and the body
        Rejected,  // answer `rejection` and close
    };
    Kind kind = Kind::NeedMore;
    std::string header;
    std::size_t bodyStart = 0;
    std::size_t bodyLength = 0;
    HTTPResponse rejection;
};

// Frames one request from the start of `received`: a header block ended by CR LF CR LF, then as
// many body bytes as the last Content-Length line announces. Bytes after the body are ignored.
FrameResult frameRequest(std::span<const std::uint8_t> received);

// The value of the last "Content-Length:" line (any letter case), 0 when there is none or it is
// not a decimal integer that fits 64 bits.
std::int64_t contentLength(std::string_view header);

// Method and path from the first header line, with the defaults "GET" and "/".
HTTPRequest parseRequest(std::string header, ByteBuffer body);

// Every value of the header field `name` (any letter case), trimmed, in order.
std::vector<std::string_view> headerValues(std::string_view header, std::string_view name);

// UTF-8 text with each ill-formed sequence replaced by U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace skylark
