// Feeds arbitrary bytes through everything a request touches before a socket write: framing,
// the request line, the request guard, the route table and the response header.
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

    const std::span<const std::uint8_t> bytes(data, size);
    const FrameResult frame = frameRequest(bytes);
    if (frame.kind != FrameResult::Kind::Complete) {
        return 0;
    }
    check(frame.bodyStart + frame.bodyLength <= size);
    check(decodeUtf8Lossy(frame.header) == frame.header);  // the header text is valid UTF-8
    const HTTPRequest request = parseRequest(
        frame.header, makeBuffer(bytes.subspan(frame.bodyStart, frame.bodyLength)));
    check(!request.method.empty());
    check(request.path.find('?') == std::string::npos);
    const HTTPResponse response =
        rejectUntrustedRequest(request, "host").value_or(route(request, context));
    const std::string header = responseHeader(response);
    check(header.ends_with("\r\nConnection: close\r\n\r\n"));
    if (const auto id = segmentIdentifier(request.path)) {
        check(request.path.starts_with("/live/segment"));
    }
    return 0;
}
