#pragma once

#include <string>

#include "common/bytes.hpp"

namespace skylark {

// One framed request, as the route table sees it.
struct HTTPRequest {
    std::string method;  // first token of the request line, compared case-sensitively
    std::string path;    // request target without its query string, not percent-decoded
    std::string header;  // request line and header lines, CR LF separated, without the blank line
    ByteBuffer body;     // exactly Content-Length bytes; never null
};

// One response; the writer adds the fixed header lines around it.
struct HTTPResponse {
    std::string status = "200 OK";
    std::string contentType = "application/json";
    ByteBuffer body = emptyBody();

    static ByteBuffer emptyBody() {
        static const ByteBuffer empty = makeBuffer(Bytes{});
        return empty;
    }
};

}  // namespace skylark
