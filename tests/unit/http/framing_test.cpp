#include "http/request_framing.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "http/response_writer.hpp"

namespace skylark {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct Framed {
    FrameResult::Kind kind;
    std::string header;
    std::string body;
    std::string status;
};

Framed frame(std::string_view received) {
    FrameResult r = frameRequest(bytesOf(received));
    Framed out{r.kind, r.header, {}, {}};
    if (r.kind == FrameResult::Kind::Complete) {
        out.body = std::string(received.substr(r.bodyStart, r.bodyLength));
    }
    if (r.kind == FrameResult::Kind::Rejected) {
        out.status = r.rejection.status;
    }
    return out;
}

using Kind = FrameResult::Kind;

// Each request is complete exactly at its last byte, however the bytes were split: every proper
// prefix needs more, so a connection answers once, after the last read.
TEST(Framing, CompleteExactlyAtTheLastByteOfEveryPrefix) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", ""},
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "hello"},
        {"POST /x HTTP/1.1\r\ncontent-length:3\r\n\r\nabc", "abc"},
        {"POST /x HTTP/1.1\r\nCONTENT-LENGTH:    +4  \r\n\r\nabcd", "abcd"},
        {"\r\n\r\n", ""},
    };
    for (const auto& [request, body] : cases) {
        for (std::size_t cut = 0; cut < request.size(); ++cut) {
            EXPECT_EQ(frame(request.substr(0, cut)).kind, Kind::NeedMore) << request << " @" << cut;
        }
        const Framed done = frame(request);
        ASSERT_EQ(done.kind, Kind::Complete) << request;
        EXPECT_EQ(done.body, body);
    }
}

TEST(Framing, ContentLengthRules) {
    struct Case {
        const char* header;
        std::int64_t length;
    };
    const Case cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 5", 5},
        {"POST / HTTP/1.1\r\ncontent-length:5", 5},
        {"POST / HTTP/1.1\r\nContent-Length: abc", 0},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7", 7},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: x", 0},
        {"POST / HTTP/1.1\r\nContent-Length: +12", 12},
        {"POST / HTTP/1.1\r\nContent-Length: ++12", 0},
        {"POST / HTTP/1.1\r\nContent-Length: 1 2", 0},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999", 0},  // does not fit 64 bits
        {"POST / HTTP/1.1\r\nContent-Length: -3", -3},
        {"POST / HTTP/1.1\r\nX-Content-Length: 9", 0},
        {"content-length: 4", 4},  // the request line is a line like the others
    };
    for (const Case& c : cases) {
        EXPECT_EQ(contentLength(c.header), c.length) << c.header;
    }
}

TEST(Framing, BodyBeyondTheAnnouncedLengthIsIgnored) {
    const Framed done = frame("POST /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcdef");
    ASSERT_EQ(done.kind, Kind::Complete);
    EXPECT_EQ(done.body, "ab");
    EXPECT_EQ(done.header, "POST /x HTTP/1.1\r\nContent-Length: 2");
}

TEST(Framing, UnparsableLengthAnswersAsSoonAsTheHeaderEnds) {
    const Framed done = frame("POST /x HTTP/1.1\r\nContent-Length: five\r\n\r\n");
    ASSERT_EQ(done.kind, Kind::Complete);
    EXPECT_EQ(done.body, "");
}

TEST(Framing, LineFeedOnlyHeaderIsNeverComplete) {
    EXPECT_EQ(frame("GET / HTTP/1.1\nHost: x\n\n").kind, Kind::NeedMore);
}

TEST(Framing, BoundsAreAnsweredWithClearStatuses) {
    const std::string huge(kMaxHeaderBytes + 4, 'a');
    EXPECT_EQ(frame(huge).status, "431 Request Header Fields Too Large");
    EXPECT_EQ(frame(huge.substr(0, kMaxHeaderBytes + 3)).kind, Kind::NeedMore);

    const std::string header = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeaderBytes - 19, 'a');
    EXPECT_EQ(frame(header + "\r\n\r\n").kind, Kind::Complete) << "a header of exactly the limit";

    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n").status,
              "413 Payload Too Large");
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n").kind, Kind::NeedMore);
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n").status, "400 Bad Request");
    EXPECT_EQ(frame("POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n").status,
              "400 Bad Request");
}

TEST(Framing, HeaderIsDecodedWithReplacementCharacters) {
    EXPECT_EQ(decodeUtf8Lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(decodeUtf8Lossy("\xC3\xA9"), "\xC3\xA9");                   // é stays
    EXPECT_EQ(decodeUtf8Lossy("\xE2\x82"), "\xEF\xBF\xBD");               // truncated: one U+FFFD
    EXPECT_EQ(decodeUtf8Lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");   // overlong
    EXPECT_EQ(decodeUtf8Lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");   // emoji stays
}

TEST(RequestLine, MethodAndPath) {
    struct Case {
        const char* header;
        const char* method;
        const char* path;
    };
    const Case cases[] = {
        {"GET /api/info HTTP/1.1\r\nHost: x", "GET", "/api/info"},
        {"", "GET", "/"},
        {"POST", "POST", "/"},
        {"GET /api/info?x=1 HTTP/1.1", "GET", "/api/info"},
        {"GET ?x=1 HTTP/1.1", "GET", ""},
        {"GET   /tv.html    HTTP/1.1", "GET", "/tv.html"},
        {"get / HTTP/1.1", "get", "/"},
        {"GET /a%20b HTTP/1.1", "GET", "/a%20b"},
    };
    for (const Case& c : cases) {
        const HTTPRequest request = parseRequest(c.header, nullptr);
        EXPECT_EQ(request.method, c.method) << c.header;
        EXPECT_EQ(request.path, c.path) << c.header;
        ASSERT_NE(request.body, nullptr);
    }
}

TEST(RequestLine, HeaderValuesSkipTheRequestLineAndIgnoreCase) {
    const std::string header = "GET /host: HTTP/1.1\r\nhOsT:  a.local \r\nHostile: no\r\nHOST: b";
    const auto values = headerValues(header, "host");
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], "a.local");
    EXPECT_EQ(values[1], "b");
}

TEST(ResponseWriter, FiveHeaderLinesInOrder) {
    HTTPResponse response;
    response.body = makeBuffer("{\"ok\":true}");
    EXPECT_EQ(responseHeader(response),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
    response.status = "204 No Content";
    response.body = HTTPResponse::emptyBody();
    EXPECT_EQ(responseHeader(response),
              "HTTP/1.1 204 No Content\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace skylark
