#pragma once

#include <string>

#include "http/http_types.hpp"

namespace skylark {

// The header block that precedes every response body: status line, the four fixed header lines
// in this order, and the blank line. Every response closes its connection. A streamed response
// says Transfer-Encoding: chunked where the others give their Content-Length.
std::string responseHeader(const HTTPResponse& response);

}  // namespace skylark
