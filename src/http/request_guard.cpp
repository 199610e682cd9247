#include "http/request_guard.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

#include "http/request_framing.hpp"

namespace skylark {
namespace {

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool isAddress(int family, const std::string& text) {
    unsigned char storage[16];
    return inet_pton(family, text.c_str(), storage) == 1;
}

// The host part of an Origin value ("http://host:port"), or nothing when it has none ("null").
std::optional<std::string_view> originHost(std::string_view origin) {
    const auto scheme = origin.find("://");
    if (scheme == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = origin.substr(scheme + 3);
    return rest.substr(0, rest.find('/'));
}

}  // namespace

bool isTrustedHost(std::string_view host, std::string_view ownHostName) {
    std::string name;
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        return isAddress(AF_INET6, std::string(host.substr(1, close - 1)));
    }
    if (std::count(host.begin(), host.end(), ':') > 1) {
        return isAddress(AF_INET6, std::string(host));  // a bare IPv6 literal
    }
    name = lowercase(host.substr(0, host.find(':')));
    if (name.ends_with('.')) {
        name.pop_back();  // "localhost." names the same host
    }
    if (name.empty()) {
        return false;
    }
    return isAddress(AF_INET, name) || name == "localhost" || name.ends_with(".local") ||
           (!ownHostName.empty() && name == lowercase(ownHostName));
}

std::optional<HTTPResponse> rejectUntrustedRequest(const HTTPRequest& request,
                                                   std::string_view ownHostName) {
    bool trusted = true;
    for (std::string_view host : headerValues(request.header, "host")) {
        trusted = trusted && isTrustedHost(host, ownHostName);
    }
    if (request.method == "POST") {
        for (std::string_view origin : headerValues(request.header, "origin")) {
            const auto host = originHost(origin);
            trusted = trusted && host && isTrustedHost(*host, ownHostName);
        }
    }
    if (trusted) {
        return std::nullopt;
    }
    HTTPResponse response;
    response.status = "403 Forbidden";
    response.contentType = "text/plain";
    response.body = makeBuffer("Forbidden");
    return response;
}

}  // namespace skylark
