#include "http/request_framing.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "http/request_guard.hpp"
#include "http/response_writer.hpp"

namespace skylark {
namespace {

using State = RequestFramer::State;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// What the framer decided: "more", "body:<body>" or the refusal's status line.
std::string outcome(RequestFramer& framer) {
    switch (framer.state()) {
        case State::Complete:
            return "body:" + std::string(asText(*framer.takeRequest().body));
        case State::Rejected:
            return framer.takeRejection().status;
        default:
            return "more";
    }
}

// Feeds `text` in pieces of random sizes (1 to `largest` bytes), the guard of "mypc" checking the
// header block.
std::string frameInPieces(std::string_view text, std::size_t largest, unsigned seed) {
    RequestFramer framer([](const HTTPRequest& head, std::int64_t length) {
        return refuseRequest(head, length, "mypc");
    });
    std::mt19937 random(seed);
    while (!text.empty()) {
        const std::size_t n = std::min(text.size(), 1 + random() % largest);
        framer.feed(bytesOf(text.substr(0, n)));
        text.remove_prefix(n);
    }
    return outcome(framer);
}

// However a request is split across reads, the outcome is the one of the whole bytes, and a
// request is complete exactly at its last byte: a connection answers once, after the last read.
TEST(Framing, OutcomeTableAtEveryReadBoundary) {
    const std::string atLimit = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeaderBytes - 19, 'a');
    const std::string maxOffer(kMaxBodyBytes, 'o');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "body:"},
        {"\r\n\r\n", "body:"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "body:hello"},
        {"POST /api/offer HTTP/1.1\r\ncontent-length:3\r\n\r\nabc", "body:abc"},
        {"POST /api/answer HTTP/1.1\r\nCONTENT-LENGTH:    +4  \r\n\r\nabcd", "body:abcd"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcdef", "body:ab"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: five\r\n\r\nabc", "body:"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: +2\r\n\r\nab", "body:ab"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + maxOffer, "body:" + maxOffer},
        {atLimit + "\r\n\r\n", "body:"},
        {"GET / HTTP/1.1\nHost: x\n\n", "more"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", "more"},
        {std::string(kMaxHeaderBytes + 3, 'a'), "more"},
        {std::string(kMaxHeaderBytes + 4, 'a'), "431 Request Header Fields Too Large"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "400 Bad Request"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n",
         "400 Bad Request"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\nhello",
         "400 Bad Request"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: x\r\n\r\nhello",
         "400 Bad Request"},
        {"POST /api/offer HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         "501 Not Implemented"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", "413 Payload Too Large"},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n", "413 Payload Too Large"},
        {"POST /api/reset HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "413 Payload Too Large"},
        {"POST /api/offer HTTP/1.1\r\nHost: evil.com\r\nContent-Length: 999\r\n\r\n",
         "403 Forbidden"},
    };
    for (const auto& [request, expected] : cases) {
        const std::string label = request.substr(0, 60);
        EXPECT_EQ(frameInPieces(request, request.size(), 0), expected) << label;
        for (unsigned seed = 1; seed < 4; ++seed) {
            EXPECT_EQ(frameInPieces(request, 1 + seed * 7, seed), expected) << label << " " << seed;
        }
        if (expected.starts_with("body:") && request.size() < 1000) {
            const std::size_t end = request.find("\r\n\r\n") + 4 + expected.size() - 5;
            for (std::size_t cut = 0; cut < request.size(); ++cut) {
                EXPECT_EQ(frameInPieces(request.substr(0, cut), 3, cut), cut < end ? "more" : expected)
                    << label << " @" << cut;
            }
        }
    }
}

TEST(Framing, ContentLengthLinesAgreeOrConflict) {
    const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases = {
        {"POST / HTTP/1.1", 0},
        {"POST / HTTP/1.1\r\ncontent-length:5", 5},
        {"POST / HTTP/1.1\r\nContent-Length: abc", 0},
        {"POST / HTTP/1.1\r\nContent-Length: ++12", 0},
        {"POST / HTTP/1.1\r\nContent-Length: 1 2", 0},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999", 0},  // does not fit 64 bits
        {"POST / HTTP/1.1\r\nContent-Length: -3", -3},
        {"POST / HTTP/1.1\r\nX-Content-Length: 9", 0},
        {"content-length: 4", 4},  // the request line is a line like the others
        {"POST / HTTP/1.1\r\nContent-Length: 7\r\nContent-Length: 007", 7},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7", std::nullopt},
    };
    for (const auto& [header, length] : cases) {
        EXPECT_EQ(contentLength(header), length) << header;
    }
}

TEST(Framing, HeaderIsDecodedWithReplacementCharacters) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE2\x82", "\xEF\xBF\xBD"},                                   // truncated: one U+FFFD
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                       // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},       // surrogate
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(decodeUtf8Lossy(bytes), text);
    }
}

TEST(RequestLine, MethodAndPath) {
    const std::vector<std::array<const char*, 3>> cases = {
        {"GET /api/info HTTP/1.1\r\nHost: x", "GET", "/api/info"},
        {"", "GET", "/"},
        {"POST", "POST", "/"},
        {"GET /api/info?x=1 HTTP/1.1", "GET", "/api/info"},
        {"GET ?x=1 HTTP/1.1", "GET", ""},
        {"GET   /tv.html    HTTP/1.1", "GET", "/tv.html"},
        {"get / HTTP/1.1", "get", "/"},
        {"GET /a%20b HTTP/1.1", "GET", "/a%20b"},
    };
    for (const auto& [header, method, path] : cases) {
        const HTTPRequest request = parseRequest(header, nullptr);
        EXPECT_EQ(request.method, method) << header;
        EXPECT_EQ(request.path, path) << header;
        ASSERT_NE(request.body, nullptr);
    }
    const auto values = headerValues("GET /host: HTTP/1.1\r\nhOsT:  a.local \r\nHostile: no\r\nHOST: b", "host");
    EXPECT_EQ(values, (std::vector<std::string_view>{"a.local", "b"}));
}

TEST(ResponseWriter, FiveHeaderLinesInOrder) {
    HTTPResponse response;
    response.status = "204 No Content";
    EXPECT_EQ(responseHeader(response),
              "HTTP/1.1 204 No Content\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace skylark
