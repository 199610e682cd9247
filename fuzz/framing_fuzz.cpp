// Feeds arbitrary bytes through everything a request touches before a socket write: framing
// (whole, and again in pieces, which must decide alike), the request line, the request guard,
// the route table and the response header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/request_framing.hpp"
#include "http/request_guard.hpp"
#include "http/response_writer.hpp"
#include "http/routes.hpp"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace skylark;
    static SignalState state;
    static LiveHLSStore store;
    static const RouteContext context = [] {
        RouteContext c;
        c.port = 8765;
        c.state = &state;
        c.liveStore = &store;
        c.file = [](std::string_view) { return makeBuffer("page"); };
        c.localAddress = [] { return std::string("10.0.0.1"); };
        store.reset();
        store.addInitialization(makeBuffer("init"));
        store.addSegment(makeBuffer("segment"));
        return c;
    }();
    const auto guard = [](const HTTPRequest& head, std::int64_t length) {
        return refuseRequest(head, length, "host");
    };

    const std::span<const std::uint8_t> bytes(data, size);
    FrameResult whole = frameRequest(bytes, guard);
    RequestFramer pieces(guard);
    for (std::size_t at = 0, step = size > 0 ? 1 + data[0] % 7 : 1; at < size; at += step) {
        pieces.feed(bytes.subspan(at, std::min(step, size - at)));
    }
    check(pieces.state() == whole.state);
    if (whole.state == RequestFramer::State::Rejected) {
        check(pieces.takeRejection().status == whole.rejection.status);
        check(responseHeader(whole.rejection).ends_with("\r\nConnection: close\r\n\r\n"));
    }
    if (whole.state != RequestFramer::State::Complete) {
        return 0;
    }
    const HTTPRequest& request = whole.request;
    check(*pieces.takeRequest().body == *request.body);
    check(static_cast<std::int64_t>(request.body->size()) <=
          maxBodyBytes(request.method, request.path));
    check(decodeUtf8Lossy(request.header) == request.header);  // the header text is valid UTF-8
    check(!request.method.empty());
    check(request.path.find('?') == std::string::npos);
    const HTTPResponse response = route(request, context);
    check(responseHeader(response).ends_with("\r\nConnection: close\r\n\r\n"));
    if (segmentIdentifier(request.path)) {
        check(request.path.starts_with("/live/segment"));
    }
    return 0;
}
