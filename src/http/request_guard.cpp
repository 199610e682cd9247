#include "http/request_guard.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <string>

#include "http/request_framing.hpp"
#include "http/routes.hpp"

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

// Letters, digits and hyphens in labels that are not empty.
bool isHostName(std::string_view name) {
    const bool allowed = std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.';
    });
    return allowed && !name.empty() && !name.starts_with('.') && name.find("..") == name.npos;
}

// Suffixes that public DNS never delegates, so no outside party can point them at us.
constexpr std::array<std::string_view, 5> kLocalSuffixes = {".local", ".lan", ".home.arpa",
                                                            ".internal", ".localdomain"};

}  // namespace

bool isTrustedHost(std::string_view host, std::string_view ownHostName) {
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
    std::string name = lowercase(host.substr(0, host.find(':')));
    if (name.ends_with('.')) {
        name.pop_back();  // "localhost." names the same host
    }
    if (isAddress(AF_INET, name)) {
        return true;
    }
    if (!isHostName(name)) {
        return false;
    }
    const bool localSuffix = std::any_of(kLocalSuffixes.begin(), kLocalSuffixes.end(),
                                         [&](std::string_view s) { return name.ends_with(s); });
    return name.find('.') == std::string::npos || localSuffix ||
           (!ownHostName.empty() && name == lowercase(ownHostName));
}

std::optional<HTTPResponse> refuseRequest(const HTTPRequest& head, std::int64_t contentLength,
                                          std::string_view ownHostName) {
    const std::vector<std::string_view> hosts = headerValues(head.header, "host");
    bool trusted = std::all_of(hosts.begin(), hosts.end(), [&](std::string_view host) {
        return isTrustedHost(host, ownHostName);
    });
    if (head.method == "POST") {
        // Only a page served by this very server may post: same scheme, name and port.
        for (std::string_view origin : headerValues(head.header, "origin")) {
            trusted = trusted && hosts.size() == 1 &&
                      lowercase(origin) == "http://" + lowercase(hosts.front());
        }
    }
    if (!trusted) {
        return plainResponse("403 Forbidden", "Forbidden");
    }
    if (contentLength > maxBodyBytes(head.method, head.path)) {
        return plainResponse("413 Payload Too Large", "Payload too large");
    }
    return std::nullopt;
}

}  // namespace skylark
