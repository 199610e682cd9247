// The real server on loopback sockets: byte-exact responses, bounds, and one client never
// holding up another.
#include "http/http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <thread>

namespace skylark {
namespace {

// A blocking loopback client socket, closed on destruction.
class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::system_error(errno, std::generic_category(), "connect");
        }
    }
    ~Client() { ::close(fd_); }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            ASSERT_GT(n, 0);
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    void finishSending() { ::shutdown(fd_, SHUT_WR); }

    // Everything until the server closes (or the timeout, as a safety net for a broken server).
    std::string readAll(int timeoutMs = 10000) {
        std::string out;
        char chunk[65536];
        while (waitReadable(timeoutMs)) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closedByServer_ = true;
                break;
            }
            out.append(chunk, static_cast<std::size_t>(n));
        }
        return out;
    }
    bool waitReadable(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;
    }
    bool closedByServer() const { return closedByServer_; }

private:
    int fd_;
    bool closedByServer_ = false;
};

std::string body(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

class HTTPServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        webRoot_ = std::filesystem::temp_directory_path() /
                   ("skylark-web-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(webRoot_);
        writeFile("sender.html", "<!doctype html>sender");
        writeFile("skylark-logo.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(webRoot_);
    }
    void writeFile(const std::string& name, const std::string& content) {
        std::ofstream(webRoot_ / name, std::ios::binary) << content;
    }
    HTTPServer& startServer(HTTPServer::Options options = {}) {
        options.port = 0;
        options.advertise = false;
        server_ = std::make_unique<HTTPServer>(webRoot_, store_, options);
        server_->start();
        return *server_;
    }
    std::string request(std::string_view bytes) {
        Client client(server_->port());
        client.send(bytes);
        return client.readAll();
    }

    std::filesystem::path webRoot_;
    std::shared_ptr<LiveHLSStore> store_ = std::make_shared<LiveHLSStore>();
    std::unique_ptr<HTTPServer> server_;
};

TEST_F(HTTPServerTest, AnswersByteForByteAndCloses) {
    startServer();
    EXPECT_EQ(request("POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n{\"ok\":true}");
    EXPECT_EQ(body(request("GET /api/offer HTTP/1.1\r\n\r\n")), "hello");
    EXPECT_EQ(request("GET /api/answer HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 204 No Content\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(request("GET /nothing HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\nNot found");
    EXPECT_EQ(body(request("GET /api/info HTTP/1.1\r\n\r\n")),
              "{\"address\":\"" + server_->localAddress() + "\",\"port\":" +
                  std::to_string(server_->port()) + "}");
}

TEST_F(HTTPServerTest, ServesWebFilesFreshAndSaysWhenOneIsMissing) {
    startServer();
    EXPECT_EQ(body(request("GET / HTTP/1.1\r\n\r\n")), "<!doctype html>sender");
    EXPECT_EQ(body(request("GET /skylark-logo.png HTTP/1.1\r\n\r\n")),
              std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    const std::string missing = request("GET /tv.html HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(missing.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                                    "Content-Length: 25\r\n"));
    EXPECT_EQ(body(missing), "Skylark resources missing");
    writeFile("tv.html", "now here");
    EXPECT_EQ(body(request("GET /tv.html HTTP/1.1\r\n\r\n")), "now here");
}

TEST_F(HTTPServerTest, MegabyteBinaryOfferRoundTripsInPieces) {
    startServer();
    std::string offer(1024 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : offer) {
        c = static_cast<char>(random());
    }
    {
        Client client(server_->port());
        client.send("POST /api/offer HTTP/1.1\r\nContent-Length: " + std::to_string(offer.size()) +
                    "\r\n\r\n");
        for (std::size_t at = 0; at < offer.size(); at += 300000) {
            client.send(std::string_view(offer).substr(at, 300000));
        }
        EXPECT_EQ(body(client.readAll()), "{\"ok\":true}");
    }
    EXPECT_EQ(body(request("GET /api/offer HTTP/1.1\r\n\r\n")), offer);
}

TEST_F(HTTPServerTest, SplitRequestIsAnsweredOnceAfterItsLastByte) {
    startServer();
    const std::string whole = "POST /api/answer HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    Client client(server_->port());
    for (char c : whole) {
        client.send(std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string response = client.readAll();
    EXPECT_EQ(body(response), "{\"ok\":true}");
    EXPECT_EQ(response.find("HTTP/1.1", 1), std::string::npos) << "answered once";
    EXPECT_EQ(body(request("GET /api/answer HTTP/1.1\r\n\r\n")), "abc");
}

TEST_F(HTTPServerTest, LastBytesWithEndOfStreamAreStillAnswered) {
    startServer();
    Client client(server_->port());
    client.send("GET /api/live HTTP/1.1\r\n\r\n");
    client.finishSending();
    EXPECT_EQ(body(client.readAll()), "{\"active\":false}");
}

TEST_F(HTTPServerTest, PeerClosingMidBodyGetsNoResponse) {
    startServer();
    Client client(server_->port());
    client.send("POST /api/offer HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc");
    client.finishSending();
    EXPECT_EQ(client.readAll(), "");
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(server_->state().getOffer(), nullptr);
}

TEST_F(HTTPServerTest, BoundsAnswerAndCloseWhileOthersAreServed) {
    startServer();
    Client tooLarge(server_->port());
    tooLarge.send("POST /api/offer HTTP/1.1\r\nContent-Length: 999999999\r\n\r\npartial");
    const std::string response = tooLarge.readAll();
    EXPECT_TRUE(response.starts_with("HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain"));
    EXPECT_TRUE(tooLarge.closedByServer());

    Client endless(server_->port());
    endless.send("GET / HTTP/1.1\r\n");
    const std::string filler(8192, 'x');
    for (int i = 0; i < 9; ++i) {
        endless.send("X-Filler: " + filler + "\r\n");
    }
    EXPECT_TRUE(endless.readAll().starts_with("HTTP/1.1 431 Request Header Fields Too Large\r\n"));

    Client negative(server_->port());
    negative.send("POST /api/offer HTTP/1.1\r\nContent-Length: -5\r\n\r\n");
    EXPECT_TRUE(negative.readAll().starts_with("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(body(request("GET /api/live HTTP/1.1\r\n\r\n")), "{\"active\":false}");
}

TEST_F(HTTPServerTest, IdleConnectionsNeitherBlockOthersNorLiveForever) {
    startServer({.idleTimeout = std::chrono::milliseconds(300)});
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<Client>(server_->port()));
        idle.back()->send("GET /api/li");  // never finished
    }
    EXPECT_EQ(body(request("GET /api/command HTTP/1.1\r\n\r\n")), "{\"stopToken\":0}");
    for (auto& client : idle) {
        EXPECT_EQ(client->readAll(), "") << "closed without a response";
        EXPECT_TRUE(client->closedByServer());
    }
}

TEST_F(HTTPServerTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
    startServer({.maxConnections = 3});
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < 3; ++i) {
        open.push_back(std::make_unique<Client>(server_->port()));
        open.back()->send("GET");
    }
    Client refused(server_->port());
    EXPECT_EQ(refused.readAll(), "");
    EXPECT_TRUE(refused.closedByServer());

    open.back()->send(" /api/live HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body(open.back()->readAll()), "{\"active\":false}");
    open.pop_back();
    // The freed place is taken again once the server has seen that connection close.
    std::string answer;
    for (int attempt = 0; attempt < 100 && answer.empty(); ++attempt) {
        answer = request("GET /api/live HTTP/1.1\r\n\r\n");
    }
    EXPECT_EQ(body(answer), "{\"active\":false}");
}

TEST_F(HTTPServerTest, SlowReaderDoesNotDelayOthers) {
    startServer();
    store_->reset();
    store_->addInitialization(makeBuffer("init"));
    store_->addSegment(makeBuffer(Bytes(8 * 1024 * 1024, 0x42)));
    Client slow(server_->port());
    slow.send("GET /live/segment0.m4s HTTP/1.1\r\n\r\n");  // and read nothing for now
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(body(request("GET /api/live HTTP/1.1\r\n\r\n")), "{\"active\":true}");
    }
    const std::string segment = slow.readAll();
    EXPECT_EQ(body(segment).size(), 8u * 1024 * 1024);
}

TEST_F(HTTPServerTest, ForeignHostIsForbidden) {
    startServer();
    const std::string response = request("GET /live/init.mp4 HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    EXPECT_TRUE(response.starts_with("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n"));
    EXPECT_EQ(body(response), "Forbidden");
}

TEST_F(HTTPServerTest, StartFailsWhenThePortIsTaken) {
    HTTPServer& first = startServer();
    HTTPServer second(webRoot_, store_, {.port = first.port(), .advertise = false});
    try {
        second.start();
        FAIL() << "expected the bind to fail";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EADDRINUSE);
        EXPECT_NE(std::string(error.what()).find("in use"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace skylark
