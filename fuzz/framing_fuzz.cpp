// Arbitrary bytes through framing (whole and in pieces, alike), guard, routes, response header.
#include <cstdlib>
#include <cstring>

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
    static const RouteContext context{8765, &state, &store,
                                      [](std::string_view) { return makeBuffer("page"); },
                                      [] { return std::string("10.0.0.1"); }};
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
    }
    if (whole.state != RequestFramer::State::Complete) {
        return 0;
    }
    const HTTPRequest& request = whole.request;
    check(*pieces.takeRequest().body == *request.body);
    check(std::int64_t(request.body->size()) <= maxBodyBytes(request.method, request.path));
    check(bytes.size() >= request.header.size() + 4 &&  // the header block as received
          std::memcmp(request.header.data(), data, request.header.size()) == 0);
    check(!request.method.empty() && request.path.find('?') == std::string::npos);
    store.addInitialization(makeBuffer("init"));
    store.addSegment(makeBuffer("segment"));
    check(responseHeader(route(request, context)).ends_with("\r\nConnection: close\r\n\r\n"));
    return 0;
}
