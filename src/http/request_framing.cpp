#include "http/request_framing.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace skylark {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool isSpaceOrNewline(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpaceOrNewline(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpaceOrNewline(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// Calls `visit` with each CR LF separated line of `text`.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
    while (true) {
        const auto end = text.find("\r\n");
        visit(text.substr(0, end));
        if (end == std::string_view::npos) {
            return;
        }
        text.remove_prefix(end + 2);
    }
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

HTTPResponse plainResponse(std::string status, std::string_view text) {
    HTTPResponse response;
    response.status = std::move(status);
    response.contentType = "text/plain";
    response.body = makeBuffer(text);
    return response;
}

RequestFramer::RequestFramer(HeadCheck check) : check_(std::move(check)) {}

void RequestFramer::feed(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t headerCap = kMaxHeaderBytes + kHeaderEnd.size();
    while (state_ == State::Header && !bytes.empty()) {
        // Only the first headerCap bytes can hold an acceptable end of the header block.
        const std::size_t take = std::min(bytes.size(), headerCap - received_.size());
        received_.insert(received_.end(), bytes.begin(), bytes.begin() + take);
        bytes = bytes.subspan(take);
        // Resume the search where the last one stopped, keeping three bytes for a split CR LF CR
        // LF.
        const std::string_view text(reinterpret_cast<const char*>(received_.data()),
                                    received_.size());
        const auto at = text.find(kHeaderEnd, scanned_ < 3 ? 0 : scanned_ - 3);
        scanned_ = received_.size();
        if (at != std::string_view::npos) {
            headerEnds(at);
        } else if (received_.size() == headerCap) {
            reject(plainResponse("431 Request Header Fields Too Large",
                                 "Request header fields too large"));
        }
    }
    if (state_ == State::Body) {
        const std::size_t take = std::min(bytes.size(), bodyLength_ - received_.size());
        received_.insert(received_.end(), bytes.begin(), bytes.begin() + take);
    }
    if (state_ == State::Body && received_.size() == bodyLength_) {
        request_.body = makeBuffer(std::exchange(received_, {}));
        state_ = State::Complete;
    }
}

void RequestFramer::headerEnds(std::size_t at) {
    const std::string_view headerBytes(reinterpret_cast<const char*>(received_.data()), at);
    // Kept as received: decoding would store each invalid byte as a three-byte U+FFFD.
    request_ = parseRequest(std::string(headerBytes), nullptr);
    const std::optional<std::int64_t> length = contentLength(headerBytes);
    const auto bodyStart = static_cast<std::int64_t>(at + kHeaderEnd.size());
    if (!length || *length < 0 || *length > std::numeric_limits<std::int64_t>::max() - bodyStart) {
        return reject(plainResponse("400 Bad Request", "Bad request"));
    }
    // A body in another coding would be taken for the start of the next request.
    if (!headerValues(headerBytes, "transfer-encoding").empty()) {
        return reject(plainResponse("501 Not Implemented", "Not implemented"));
    }
    if (check_) {
        if (auto refusal = check_(request_, *length)) {
            return reject(std::move(*refusal));
        }
    }
    if (*length > kMaxBodyBytes) {
        return reject(plainResponse("413 Payload Too Large", "Payload too large"));
    }
    bodyLength_ = static_cast<std::size_t>(*length);
    // The bytes that came with the header block start the body; any beyond it are ignored.
    const std::size_t early = std::min(received_.size() - at - kHeaderEnd.size(), bodyLength_);
    const auto first = received_.begin() + static_cast<std::ptrdiff_t>(at + kHeaderEnd.size());
    Bytes body(first, first + static_cast<std::ptrdiff_t>(early));
    body.reserve(bodyLength_);
    received_ = std::move(body);
    state_ = State::Body;
}

void RequestFramer::reject(HTTPResponse response) {
    rejection_ = std::move(response);
    received_ = {};
    state_ = State::Rejected;
}

HTTPRequest RequestFramer::takeRequest() {
    return std::move(request_);
}
HTTPResponse RequestFramer::takeRejection() {
    return std::move(rejection_);
}

FrameResult frameRequest(std::span<const std::uint8_t> received, RequestFramer::HeadCheck check) {
    RequestFramer framer(std::move(check));
    framer.feed(received);
    FrameResult result{framer.state(), {}, {}};
    if (result.state == RequestFramer::State::Complete) {
        result.request = framer.takeRequest();
    } else if (result.state == RequestFramer::State::Rejected) {
        result.rejection = framer.takeRejection();
    }
    return result;
}

std::optional<std::int64_t> contentLength(std::string_view header) {
    std::optional<std::int64_t> length;
    bool agreed = true;
    forEachLine(header, [&](std::string_view line) {
        constexpr std::string_view name = "content-length:";
        if (startsWithIgnoringCase(line, name)) {
            const std::int64_t value = parseDecimal(trim(line.substr(name.size()))).value_or(0);
            agreed = agreed && (!length || *length == value);
            length = value;
        }
    });
    return agreed ? std::optional(length.value_or(0)) : std::nullopt;
}

HTTPRequest parseRequest(std::string header, ByteBuffer body) {
    HTTPRequest request;
    const std::string_view firstLine = std::string_view(header).substr(0, header.find("\r\n"));
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at < firstLine.size();) {
        const auto end = std::min(firstLine.find(' ', at), firstLine.size());
        if (end > at) {
            pieces.push_back(firstLine.substr(at, end - at));
        }
        at = end + 1;
    }
    request.method = pieces.empty() ? "GET" : std::string(pieces[0]);
    request.path = pieces.size() < 2 ? "/" : std::string(pieces[1].substr(0, pieces[1].find('?')));
    request.header = std::move(header);
    request.body = body ? std::move(body) : HTTPResponse::emptyBody();
    return request;
}

std::vector<std::string_view> headerValues(std::string_view header, std::string_view name) {
    std::vector<std::string_view> values;
    bool requestLine = true;
    forEachLine(header, [&](std::string_view line) {
        if (std::exchange(requestLine, false)) {
            return;
        }
        if (line.size() > name.size() && line[name.size()] == ':' &&
            startsWithIgnoringCase(line, name)) {
            values.push_back(trim(line.substr(name.size() + 1)));
        }
    });
    return values;
}

}  // namespace skylark
