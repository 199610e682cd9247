#include "http/access_routes.hpp"

#include <set>

#include "http/request_framing.hpp"

namespace skylark {
namespace {

// What any device may have: the pages, the logo and the small state of the server. Everything
// else (the live stream, the relay, and whatever carries a cast in future) waits for allowing.
bool needsAccess(const HTTPRequest& request) {
    static const std::set<std::string, std::less<>> open = {
        "/",         "/sender.html", "/tv.html", "/skylark-logo.png",
        "/api/info", "/api/command", "/api/live"};
    return request.method != "GET" || !open.contains(request.path);
}

HTTPResponse accessAnswer(const DeviceAccess::Answer& answer) {
    using State = DeviceAccess::Answer::State;
    std::string json = "{\"access\":\"";
    json += answer.state == State::allowed  ? "allowed\""
            : answer.state == State::denied ? "denied\""
                                            : "waiting\",\"code\":\"" + answer.code + "\"";
    if (!answer.key.empty()) {
        json += ",\"key\":\"" + answer.key + "\"";
    }
    HTTPResponse response;
    response.body = makeBuffer(json + "}");
    return response;
}

HTTPResponse notAllowed() {
    return plainResponse("403 Forbidden",
                         "This device may not watch yet: open Skylark's TV page on it and allow "
                         "it on the computer.");
}

}  // namespace

std::string requestKey(std::string_view header) {
    for (std::string_view cookies : headerValues(header, "cookie")) {
        while (!cookies.empty()) {
            const auto end = cookies.find(';');
            std::string_view pair = cookies.substr(0, end);
            cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
            while (pair.starts_with(' ')) {
                pair.remove_prefix(1);
            }
            if (pair.starts_with("skylark-key=")) {
                return std::string(pair.substr(12));
            }
        }
    }
    return {};
}

HTTPResponse routeForDevice(const HTTPRequest& request, const RouteContext& context,
                            DeviceAccess& access) {
    if (request.path.starts_with(kDevicePathPrefix)) {
        const std::string_view rest =
            std::string_view(request.path).substr(kDevicePathPrefix.size());
        const auto slash = rest.find('/');
        if (slash == std::string_view::npos || slash == 0 ||
            !access.admits(rest.substr(0, slash), request.peer)) {
            return notAllowed();
        }
        HTTPRequest inner = request;
        inner.path = std::string(rest.substr(slash));
        return route(inner, context);
    }
    if (request.method == "POST" && request.path == "/api/access") {
        return accessAnswer(access.ask(requestKey(request.header), request.peer));
    }
    if (needsAccess(request) && !access.admits(requestKey(request.header), request.peer)) {
        return notAllowed();
    }
    return route(request, context);
}

}  // namespace skylark
