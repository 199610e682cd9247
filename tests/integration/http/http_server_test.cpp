// The real server on loopback sockets: exact bytes, deadlines, caps, a hostile device.
#include "http/http_server.hpp"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <system_error>
#include <thread>
#include <tuple>

#include "support/chunked_body.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
// Sanitizers slow the server down several times and keep freed memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The server's address for IPv6 clients, in the test's own network namespace.
constexpr const char* kServerV6 = "2001:db8:5::1";

// A client socket from a given source address (IPv4 loopback, or IPv6 to kServerV6), closed on
// destruction. `receiveBuffer` shrinks the window of a reader that never reads.
class Client {
  public:
    explicit Client(std::uint16_t port, const std::string& from = "127.0.0.1",
                    int receiveBuffer = 0)
        : fd_(::socket(AF_INET6, SOCK_STREAM, 0)) {
        const bool v6 = from.find(':') != std::string::npos;  // else as a mapped IPv4 address
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, (v6 ? from : "::ffff:" + from).c_str(), &address.sin6_addr);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        address.sin6_port = htons(port);
        ::inet_pton(AF_INET6, v6 ? kServerV6 : "::ffff:127.0.0.1", &address.sin6_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::system_error(errno, std::generic_category(), "connect");
        }
    }
    ~Client() { ::close(fd_); }

    // Sends all of it; false once the server is gone.
    bool send(std::string_view bytes) {
        for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n))) {
            if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) {
                return errno == EAGAIN || errno == ENOTCONN;
            }
        }
        return true;
    }
    void finishSending() { ::shutdown(fd_, SHUT_WR); }

    // Everything until the server closes; "<open>" is added when nothing arrives for `timeout`.
    std::string readAll(std::chrono::milliseconds timeout = 10s) {
        std::string out;
        char chunk[65536];
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return out;
            }
            out.append(chunk, static_cast<std::size_t>(n));
        }
        return out + "<open>";
    }

    // False once the server has closed; when `read`, takes what has arrived without waiting.
    bool open(bool read) {
        pollfd p{fd_, POLLRDHUP, 0};
        char chunk[65536];
        ssize_t n = 0;
        while (read && (n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
        }
        return read ? n < 0 && errno == EAGAIN : ::poll(&p, 1, 0) == 0;
    }

  private:
    int fd_ = -1;
};

std::string body(const std::string& response) {
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? "<none>" : response.substr(end + 4);
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmRSS:")) {
    }
    return std::atol(line.c_str() + 6);
}

class HTTPServerTest : public ::testing::Test {
  protected:
    HTTPServer& startServer(HTTPServer::Options options = {},
                            std::filesystem::path webRoot = "/nonexistent") {
        options.port = 0;
        options.advertise = false;
        server_ = std::make_unique<HTTPServer>(webRoot, store_, options);
        server_->start();
        return *server_;
    }
    // Sends the request and the end of the stream with it, as a script may.
    std::string request(std::string_view bytes, const std::string& from = "127.0.0.1") {
        Client client(server_->port(), from);
        client.send(bytes);
        client.finishSending();
        return client.readAll();
    }
    // A live cast with a segment larger than any socket buffer.
    void SetUp() override {
        store_->reset();
        store_->addInitialization(makeBuffer("init"));
        store_->addSegment(makeBuffer(Bytes(kSegmentBytes, 0x42)));
    }

    static constexpr std::size_t kSegmentBytes = 8 * 1024 * 1024;
    std::shared_ptr<LiveHLSStore> store_ = std::make_shared<LiveHLSStore>();
    std::unique_ptr<HTTPServer> server_;
};

std::string wire(const std::string& status, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

// Each request comes with the end of its stream: a refusal is answered without the body, a
// request cut short not at all.
TEST_F(HTTPServerTest, AnswersByteForByteAndRefusesBeforeTheBody) {
    startServer();
    const std::string json = "application/json", text = "text/plain";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
         wire("200 OK", json, "{\"ok\":true}")},
        {"GET /api/offer HTTP/1.1\r\n\r\n", wire("200 OK", json, "hello")},
        {"GET /nothing HTTP/1.1\r\n\r\n", wire("404 Not Found", text, "Not found")},
        {"POST /api/offer HTTP/1.1\r\nHost: 10.0.0.5:8765\r\nOrigin: http://203.0.113.9\r\n"
         "Content-Length: 16777216\r\n\r\n",
         wire("403 Forbidden", text, "Forbidden")},
        {"POST /api/answer HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", ""},  // cut short
        {"POST /api/answer HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         wire("501 Not Implemented", text, "Not implemented")},
    };
    for (const auto& [request, response] : cases) {
        EXPECT_EQ(this->request(request), response) << request;
    }
}

TEST_F(HTTPServerTest, TricklesAndStalledReadersCannotExtendTheDeadlines) {
    startServer({.headerTimeout = 300ms, .requestTimeout = 600ms, .writeStallTimeout = 300ms});
    Client header(server_->port()), slowBody(server_->port()), reading(server_->port()),
        stalled(server_->port(), "127.0.0.1", 4096);
    slowBody.send("POST /api/offer HTTP/1.1\r\nContent-Length: 100\r\n\r\n");
    stalled.send("GET /live/segment0.m4s HTTP/1.1\r\n\r\n");
    reading.send("GET /live/segment0.m4s HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body(reading.readAll()).size(), kSegmentBytes);
    for (int i = 0; i < 40; ++i) {
        header.send("G");  // a byte each, well within any idle time
        slowBody.send("x");
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(header.readAll(), "");
    EXPECT_EQ(slowBody.readAll(), "");
    const std::string cut = stalled.readAll();
    EXPECT_LT(body(cut).size(), kSegmentBytes);
    EXPECT_FALSE(cut.ends_with("<open>"));
    EXPECT_EQ(server_->state().getOffer(), nullptr);
}

// Hostile devices, one attack a row, against small bounds (the defaults scaled down), each
// reopening whatever the server closes. A TV on another address, and for IPv6 in the same /64,
// is never refused; the server's memory does not follow the attack; once it ends, nothing of it
// stays tracked. Runs in a network namespace of its own, which holds the IPv6 addresses.
TEST_F(HTTPServerTest, NoDeviceLocksOutTheTVAndNothingOfAnAttackStays) {
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << "needs root: " << std::strerror(errno);
    ASSERT_EQ(std::system("ip link set lo up && for h in 1 3 66 67 68; do ip -6 addr add "
                          "2001:db8:5::$h/64 dev lo nodad || exit 1; done"),
              0);
    // A page far larger than the kernel's socket buffers, so unread responses stay unwritten.
    const auto web = std::filesystem::path(::testing::TempDir()) / std::to_string(::getpid());
    std::filesystem::create_directories(web);
    std::ofstream(web / "tv.html") << std::string(16 << 20, 'p');
    startServer({.maxConnections = 24, .maxConnectionsPerPeer = 6, .maxConnectionsPerNetwork = 12},
                web);
    const std::string badHeader = "POST /api/offer HTTP/1.1\r\nX: " + std::string(65000, '\xff') +
                                  "\r\nContent-Length: 65536\r\n\r\n" + std::string(65535, 'o');
    const std::vector<std::string> v4 = {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.4"},
                                   v6 = {"2001:db8:5::66", "2001:db8:5::67", "2001:db8:5::68"};
    // Each row: the request, the addresses it comes from, whether the attacker reads.
    const std::tuple<std::string, std::vector<std::string>, bool> attacks[] = {
        {"GET /tv.html HTTP/1.1\r\n\r\n", v4, false},  // slow readers of the page
        {"GET /live/progressive/segment2.m4s HTTP/1.1\r\n\r\n", v4, true},  // waiting
        {"GET /tv.html HTTP/1.1\r\n\r\n", v6, false},  // neighbours in the TV's /64
        {badHeader, v4, false},                        // a header block of invalid UTF-8
    };
    ::malloc_trim(0);
    const long before = residentKiB();
    for (const auto& [attack, from, reads] : attacks) {
        const std::string tv = from == v4 ? "127.0.0.3" : "2001:db8:5::3";
        std::atomic<bool> attacking = true;
        std::atomic<long> peak = before;
        std::thread attacker([&] {
            std::vector<std::unique_ptr<Client>> clients(32);  // more than any bound lets in
            while (attacking) {
                for (std::size_t i = 0; i < clients.size(); ++i) {
                    auto& c = clients[i];
                    if (!c || !c->open(reads)) {
                        c = std::make_unique<Client>(server_->port(), from[i % from.size()], 2048);
                        c->send(attack);
                    }
                }
                peak = std::max(peak.load(), residentKiB());
                std::this_thread::sleep_for(5ms);  // pacing, so the TV is not starved of CPU
            }
        });
        const auto held = from == v4 ? 24u : 12u;
        while (server_->tracked().connections < held) {
            std::this_thread::yield();
        }
        int refused = 0;
        for (int poll = 0; poll < 8; ++poll) {
            refused += body(request("GET /api/live HTTP/1.1\r\n\r\n", tv)) != "{\"active\":true}";
        }
        attacking = false;
        attacker.join();
        EXPECT_EQ(refused, 0) << tv << " " << attack.substr(0, 40);
        EXPECT_TRUE(kSanitized || peak - before < 64 << 10) << tv << " " << attack.substr(0, 40);
        HTTPServer::Tracked left = server_->tracked();
        for (int i = 0; i < 400 && left.connections + left.addresses + left.awaiting > 0; ++i) {
            std::this_thread::sleep_for(25ms);
            left = server_->tracked();
        }
        EXPECT_EQ(std::tie(left.connections, left.addresses, left.awaiting), std::tuple(0u, 0u, 0u))
            << tv << " " << attack.substr(0, 40);
    }
    std::filesystem::remove_all(web);
}

// A progressive read of each kind of segment, with what the writer does after the request: the
// body is the finished segment, ended by the zero chunk only when the segment completed.
TEST_F(HTTPServerTest, ProgressiveReadsEndWithTheSegmentOrStayUnended) {
    startServer();
    const std::string streamed =
        "HTTP/1.1 200 OK\r\nContent-Type: video/iso.segment\r\nTransfer-Encoding: chunked\r\n"
        "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    struct Case {
        int id;
        std::vector<std::string> before, after;  // "+bytes" a fragment, "=" the segment complete
        std::string response;                    // or, when streamed, its payload and end
        bool ended = false;
    } cases[] = {
        {0, {}, {}, wire("200 OK", "video/iso.segment", "S0")},
        {1, {"+ab"}, {"+cd", "+ef", "="}, "abcdef", true},
        {1, {}, {"+ab", "="}, "ab", true},            // not begun yet
        {2, {"+ab"}, {"=", "+cd", "="}, "cd", true},  // after the one being written
        {1, {"+ab"}, {"+cd", "stop"}, "abcd"},
        {1, {"+ab"}, {"reset", "+xy"}, "ab"},
        {3, {"+ab"}, {}, wire("404 Not Found", "text/plain", "Not found")},
        {2, {}, {}, wire("404 Not Found", "text/plain", "Not found")},  // does not begin in time
    };
    for (const Case& c : cases) {
        std::string growing;
        auto act = [&](const std::string& step) {
            if (step == "stop") {
                store_->stop();
            } else if (step == "reset") {
                store_->reset();
            } else if (step == "=") {
                store_->addSegment(makeBuffer(std::exchange(growing, {})));
            } else {
                growing += step.substr(1);
                store_->addPart(makeBuffer(step.substr(1)));
            }
        };
        store_->reset();
        store_->addSegment(makeBuffer("S0"));
        std::for_each(c.before.begin(), c.before.end(), act);
        Client client(server_->port());
        client.send("GET /live/progressive/segment" + std::to_string(c.id) +
                    ".m4s HTTP/1.1\r\n\r\n");
        for (const std::string& step : c.after) {
            std::this_thread::sleep_for(kSanitized ? 300ms : 100ms);  // seen before the next
            act(step);
        }
        const std::string response = client.readAll();
        if (c.response.starts_with("HTTP/")) {
            EXPECT_EQ(response, c.response) << c.id;
        } else {
            EXPECT_TRUE(response.starts_with(streamed)) << response;
            EXPECT_EQ(test::dechunk(body(response)), std::pair(c.response, c.ended)) << response;
        }
    }
}

// A reader that stops reading is closed at the write-stall deadline, unended; the writer and
// another reader of the same segment go on meanwhile.
TEST_F(HTTPServerTest, AProgressiveReaderThatStopsReadingHoldsNothingBack) {
    startServer({.writeStallTimeout = 1s});
    Client stalled(server_->port(), "127.0.0.1", 4096), reading(server_->port());
    for (Client* client : {&stalled, &reading}) {
        client->send("GET /live/progressive/segment1.m4s HTTP/1.1\r\n\r\n");
    }
    auto read = std::async(std::launch::async, [&] { return reading.readAll(); });
    std::this_thread::sleep_for(100ms);
    const ByteBuffer part = makeBuffer(Bytes(kSegmentBytes / 4, 0x37));
    for (int i = 0; i < 4; ++i) {
        store_->addPart(part);
    }
    store_->addSegment(makeBuffer(Bytes(kSegmentBytes, 0x37)));
    EXPECT_TRUE(test::dechunk(body(read.get())) ==
                std::pair(std::string(kSegmentBytes, 0x37), true));
    std::this_thread::sleep_for(1500ms);  // past the stalled reader's deadline
    const std::string cut = stalled.readAll();
    EXPECT_FALSE(cut.ends_with("<open>"));
    EXPECT_FALSE(test::dechunk(body(cut)).second);
}

TEST_F(HTTPServerTest, StartFailsWhenThePortIsTaken) {
    HTTPServer second("/nonexistent", store_, {.port = startServer().port(), .advertise = false});
    EXPECT_THROW(second.start(), std::system_error);
}

}  // namespace
}  // namespace skylark
