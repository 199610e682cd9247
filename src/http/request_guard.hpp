#pragma once

#include <optional>
#include <string_view>

#include "http/http_types.hpp"

namespace skylark {

// Defends the live screen and the relay against DNS rebinding and cross-site requests. A web
// page the user visits elsewhere can make the browser send requests here under a host name it
// controls, or post from its own origin; a television or the sender page never does that.
//
// A name is trusted when it is an IPv4 or IPv6 literal, "localhost", a ".local" name, or this
// computer's own host name (an optional port is ignored).
bool isTrustedHost(std::string_view host, std::string_view ownHostName);

// The 403 response when a Host header, or a POST's Origin header, names an untrusted host;
// nothing when the request may be served. Requests without these headers are served.
std::optional<HTTPResponse> rejectUntrustedRequest(const HTTPRequest& request,
                                                   std::string_view ownHostName);

}  // namespace skylark
