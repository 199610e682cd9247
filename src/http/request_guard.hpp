#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "http/http_types.hpp"

namespace skylark {

// Defends the live screen and the relay against DNS rebinding and cross-site requests. A web
// page the user visits elsewhere can make the browser send requests here under a host name it
// controls, or post from its own origin; a television or the sender page never does that.
//
// A name is trusted when it is an IPv4 or IPv6 literal, "localhost", this computer's own host
// name, a single-label name ("mypc"), or a name under a suffix that only local resolvers answer:
// ".local", ".lan", ".home.arpa", ".internal", ".localdomain" (an optional port is ignored).
bool isTrustedHost(std::string_view host, std::string_view ownHostName);

// Whether a request whose header block is complete is refused before its body is read:
// 403 when a Host header names an untrusted host, or a POST carries an Origin other than this
// server's own ("http://" + its Host); 413 when the announced body is larger than its route
// takes. Requests without Host or Origin headers are served.
std::optional<HTTPResponse> refuseRequest(const HTTPRequest& head, std::int64_t contentLength,
                                          std::string_view ownHostName);

}  // namespace skylark
