#include "http/request_framing.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "http/request_guard.hpp"

namespace skylark {
namespace {

// What the framer decided: "more", "<method> <path>|<body>" or the refusal's status line.
std::string outcome(RequestFramer& framer) {
    if (framer.state() == RequestFramer::State::Rejected) {
        return framer.takeRejection().status;
    }
    if (framer.state() != RequestFramer::State::Complete) {
        return "more";
    }
    const HTTPRequest r = framer.takeRequest();
    return r.method + " " + r.path + "|" + std::string(asText(*r.body));
}

// Feeds `text` in pieces of 1 to `largest` bytes, the guard of "mypc" checking the header block.
std::string frameInPieces(std::string_view text, std::size_t largest, unsigned seed) {
    RequestFramer framer([](const HTTPRequest& head, std::int64_t length) {
        return refuseRequest(head, length, "mypc");
    });
    std::mt19937 random(seed);
    while (!text.empty()) {
        const std::size_t n = std::min(text.size(), 1 + random() % largest);
        framer.feed({reinterpret_cast<const std::uint8_t*>(text.data()), n});
        text.remove_prefix(n);
    }
    return outcome(framer);
}

// However a request is split across reads, the outcome is the one of the whole bytes, and a
// request is complete exactly at its last byte: a connection answers once, after the last read.
TEST(Framing, OutcomeTableAtEveryReadBoundary) {
    const std::string atLimit = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeaderBytes - 19, 'a');
    const std::string maxOffer(kMaxBodyBytes, 'o');
    const std::string offer = "POST /api/offer HTTP/1.1\r\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "GET /|"},
        {"\r\n\r\n", "GET /|"},
        {offer + "Content-Length: 5\r\n\r\nhello", "POST /api/offer|hello"},
        {offer + "CONTENT-LENGTH:    +4  \r\n\r\nabcd", "POST /api/offer|abcd"},
        {offer + "Content-Length: 2\r\n\r\nabcdef", "POST /api/offer|ab"},
        {offer + "Content-Length: five\r\n\r\nabc", "POST /api/offer|"},
        {offer + "Content-Length: 99999999999999999999\r\n\r\nabc",
         "POST /api/offer|"},  // not 64 bits
        {offer + "Content-Length: 2\r\nContent-Length: +2\r\n\r\nab", "POST /api/offer|ab"},
        {offer + "Content-Length: 65536\r\n\r\n" + maxOffer, "POST /api/offer|" + maxOffer},
        {offer + "Host: mypc:8765\r\nOrigin: http://MYPC:8765\r\nContent-Length: 1\r\n\r\nx",
         "POST /api/offer|x"},
        {atLimit + "\r\n\r\n", "GET /|"},
        {"GET / HTTP/1.1\nHost: x\n\n", "more"},
        {offer + "Content-Length: 5\r\n\r\nabc", "more"},
        {std::string(kMaxHeaderBytes + 3, 'a'), "more"},
        {std::string(kMaxHeaderBytes + 4, 'a'), "431 Request Header Fields Too Large"},
        {offer + "Content-Length: -1\r\n\r\n", "400 Bad Request"},
        {offer + "Content-Length: 9223372036854775807\r\n\r\n", "400 Bad Request"},
        {offer + "Content-Length: 5\r\nContent-Length: 7\r\n\r\nhello", "400 Bad Request"},
        {offer + "Content-Length: 5\r\nContent-Length: x\r\n\r\nhello", "400 Bad Request"},
        {offer + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         "501 Not Implemented"},
        {offer + "Content-Length: 65537\r\n\r\n", "413 Payload Too Large"},
        {"POST /api/reset HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "413 Payload Too Large"},
        {"GET / HTTP/1.1\r\nHost: 10.0.0.5\r\nHost: attacker.example\r\n\r\n", "403 Forbidden"},
        {offer + "Host: evil.com\r\nContent-Length: 99999\r\n\r\n", "403 Forbidden"},
        {offer + "Host: 10.0.0.5:8765\r\nOrigin: http://203.0.113.9\r\n\r\n", "403 Forbidden"},
        {offer + "Host: localhost:8765\r\nOrigin: http://localhost:3000\r\n\r\n", "403 Forbidden"},
        {offer + "Host: localhost:8765\r\nOrigin: null\r\n\r\n", "403 Forbidden"},
        {offer + "Origin: http://localhost:8765\r\n\r\n", "403 Forbidden"},  // no Host to match
        {"GET /api/info?x=1 HTTP/1.1\r\nOrigin: https://attacker.example\r\n\r\n",
         "GET /api/info|"},
        {"POST\r\n\r\n", "POST /|"},
        {"GET ?x=1 HTTP/1.1\r\n\r\n", "GET |"},
        {"get   /a%20b    HTTP/1.1\r\n\r\n", "get /a%20b|"},
        {"GET / HTTP/1.1\r\nhOsT: evil.com\r\n\r\n", "403 Forbidden"},
        {"GET / HTTP/1.1\r\nHostile: evil.com\r\nX-Host: evil.com\r\n\r\n", "GET /|"},
    };
    for (const auto& [request, expected] : cases) {
        const std::string label = request.substr(0, 60);
        EXPECT_EQ(frameInPieces(request, request.size(), 0), expected) << label;
        for (unsigned seed = 1; seed < 4; ++seed) {
            EXPECT_EQ(frameInPieces(request, 1 + seed * 7, seed), expected) << label << " " << seed;
        }
        if (expected.find('|') != std::string::npos && request.size() < 1000) {
            const std::size_t end =
                request.find("\r\n\r\n") + expected.size() - expected.find('|') + 3;
            for (std::size_t cut = 0; cut < request.size(); ++cut) {
                EXPECT_EQ(frameInPieces(request.substr(0, cut), 3, cut),
                          cut < end ? "more" : expected)
                    << label << " @" << cut;
            }
        }
    }
}

// Invalid UTF-8 stays as it came: decoding would store each such byte as three.
TEST(Framing, HeaderIsKeptAsReceived) {
    const std::string bytes = "GET /\xFF HTTP/1.1\r\nX: \xC0\xAF\r\n\r\n";
    const FrameResult framed =
        frameRequest({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    EXPECT_EQ(framed.request.header, bytes.substr(0, bytes.size() - 4));
}

TEST(RequestGuard, TrustedHostNames) {
    for (const char* host :
         {"192.168.1.7:8765", "127.0.0.1", "[::1]:8765", "[fe80::1]", "::1", "LOCALHOST",
          "localhost.", "skylark-box.local:8765", "MyPC", "otherpc:8765", "tv.lan", "pc.home.arpa",
          "box.internal:8765", "pc.localdomain"}) {
        EXPECT_TRUE(isTrustedHost(host, "mypc")) << host;
    }
    for (const char* host :
         {"evil.com", "evil.com:8765", "localhost.evil.com", "192.168.1.7.nip.io", "", ":8765",
          "[evil.com]", "1.2.3", "mypc.evil.com", "lan.evil.com", "evil.com.", "a..lan", ".lan",
          "my pc", "mypc/x"}) {
        EXPECT_FALSE(isTrustedHost(host, "mypc")) << host;
    }
}

}  // namespace
}  // namespace skylark
