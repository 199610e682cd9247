#include "http/routes.hpp"

#include <charconv>

#include "http/progressive_segment.hpp"
#include "http/request_framing.hpp"

namespace skylark {
namespace {

constexpr std::string_view kHTML = "text/html; charset=utf-8";

ByteBuffer ok() {
    static const ByteBuffer body = makeBuffer("{\"ok\":true}");
    return body;
}

// An absent buffer becomes `absentStatus` with an empty body.
HTTPResponse optionalBody(ByteBuffer body, std::string_view absentStatus,
                          std::string_view contentType = "application/json") {
    HTTPResponse response;
    response.contentType = contentType;
    if (body) {
        response.body = std::move(body);
    } else {
        response.status = absentStatus;
    }
    return response;
}

HTTPResponse page(const RouteContext& context, std::string_view name,
                  std::string_view contentType) {
    HTTPResponse response;
    response.contentType = contentType;
    response.body = context.file(name);
    return response;
}

HTTPResponse json(ByteBuffer body) {
    HTTPResponse response;
    response.body = std::move(body);
    return response;
}

}  // namespace

std::optional<std::int64_t> segmentIdentifier(std::string_view path, std::string_view prefix) {
    constexpr std::string_view suffix = ".m4s";
    if (path.size() < prefix.size() + suffix.size() || !path.starts_with(prefix) ||
        !path.ends_with(suffix)) {
        return std::nullopt;
    }
    std::string_view text = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    // Parse the magnitude with the sign attached so that the most negative value still fits.
    std::string digits = negative ? "-" : "";
    digits += text;
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return id;
}

std::int64_t maxBodyBytes(std::string_view method, std::string_view path) {
    const bool relay = method == "POST" &&
                       (path == "/api/offer" || path == "/api/answer" || path == kWhepPath);
    return relay ? kMaxBodyBytes : 0;
}

HTTPResponse route(const HTTPRequest& request, const RouteContext& context) {
    const std::string& method = request.method;
    const std::string& path = request.path;
    if (method == "GET") {
        if (path == "/" || path == "/sender.html") {
            return page(context, "sender.html", kHTML);
        }
        if (path == "/tv.html") {
            return page(context, "tv.html", kHTML);
        }
        if (path == "/skylark-logo.png") {
            return page(context, "skylark-logo.png", "image/png");
        }
        if (path == "/api/info") {
            return json(makeBuffer("{\"address\":\"" + context.localAddress() +
                                   "\",\"port\":" + std::to_string(context.port) + "}"));
        }
        if (path == "/api/command") {
            return json(context.state->command());
        }
        if (path == "/api/live") {
            static const ByteBuffer live = makeBuffer("{\"active\":true}");
            static const ByteBuffer idle = makeBuffer("{\"active\":false}");
            return json(context.liveStore->isLive() ? live : idle);
        }
        if (path == "/live/stream.m3u8") {
            return optionalBody(context.liveStore->playlist(), "404 Not Found",
                                "application/vnd.apple.mpegurl");
        }
        if (path == "/live/init.mp4") {
            return optionalBody(context.liveStore->initData(), "404 Not Found", "video/mp4");
        }
        if (path == "/api/offer") {
            return optionalBody(context.state->getOffer(), "204 No Content");
        }
        if (path == "/api/answer") {
            return optionalBody(context.state->getAnswer(), "204 No Content");
        }
    }
    if (method == "GET" || method == "HEAD") {
        if (const auto id = segmentIdentifier(path, "/live/progressive/segment")) {
            HTTPResponse response;
            response.contentType = kSegmentType;
            response.stream = std::make_shared<ProgressiveSegment>(*context.liveStore, *id,
                                                                   context.progressiveBeginWait);
            return response;
        }
    }
    if (method == "POST") {
        if (path == "/api/reset") {
            context.state->reset();
            return json(ok());
        }
        if (path == "/api/offer") {
            context.state->setOffer(request.body);
            return json(ok());
        }
        if (path == "/api/answer") {
            context.state->setAnswer(request.body);
            return json(ok());
        }
    }
    if (auto response = whepRoute(request, context.whep)) {
        return std::move(*response);
    }
    // Segments answer whatever the method, as players and probes may use HEAD or POST.
    if (const auto id = segmentIdentifier(path)) {
        if (ByteBuffer segment = context.liveStore->segment(*id)) {
            return segmentResponse(std::move(segment));
        }
    }
    return notFound();
}

}  // namespace skylark
