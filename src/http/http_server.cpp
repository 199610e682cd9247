#include "http/http_server.hpp"

#include <pthread.h>

#include <asio.hpp>
#include <optional>
#include <thread>

#include "http/connection.hpp"
#include "http/dns_sd.hpp"
#include "http/local_address.hpp"
#include "http/request_framing.hpp"
#include "http/request_guard.hpp"
#include "http/routes.hpp"
#include "http/server_log.hpp"
#include "http/web_resources.hpp"

namespace skylark {

class HTTPServer::Impl final : public ConnectionHost {
public:
    Impl(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> store, Options options)
        : webRoot_(std::move(webRoot)),
          store_(std::move(store)),
          options_(options),
          port_(options.port),
          ownHostName_(hostName()),
          scratch_(64 * 1024) {
        routes_.state = &state_;
        routes_.liveStore = store_.get();
        routes_.file = [this](std::string_view name) { return readWebFile(webRoot_, name); };
        routes_.localAddress = [] { return skylark::localAddress(); };
        io_.emplace(1);
    }

    ~Impl() override {
        if (thread_.joinable()) {
            io_->stop();
            thread_.join();
        }
        advertiser_.reset();
        acceptor_.reset();
        retryTimer_.reset();
        io_.reset();  // destroys pending handlers and with them the open connections
    }

    void start() {
        acceptor_.emplace(*io_);
        listen();
        port_ = acceptor_->local_endpoint().port();
        routes_.port = port_;
        retryTimer_.emplace(*io_);
        accept();
        thread_ = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "skylark-server");
            io_->run();
        });
        if (options_.advertise) {
            advertiser_.emplace("Skylark on " + computerName(), "_skylark._tcp", port_);
        }
    }

    std::uint16_t port() const { return port_; }
    SignalState& state() { return state_; }
    LiveHLSStore& store() { return *store_; }

    HTTPResponse respond(std::string header, ByteBuffer body) override {
        const HTTPRequest request = parseRequest(std::move(header), std::move(body));
        if (auto rejection = rejectUntrustedRequest(request, ownHostName_)) {
            return std::move(*rejection);
        }
        return route(request, routes_);
    }

    std::span<std::uint8_t> readScratch() override { return scratch_; }
    std::chrono::milliseconds idleTimeout() const override { return options_.idleTimeout; }
    void connectionClosed() override { --openConnections_; }

private:
    // One dual-stack IPv6 socket takes IPv4 too; a system without IPv6 gets an IPv4 one.
    void listen() {
        using asio::ip::tcp;
        asio::error_code error;
        acceptor_->open(tcp::v6(), error);
        if (!error) {
            acceptor_->set_option(asio::ip::v6_only(false), error);
        }
        tcp::endpoint endpoint(tcp::v6(), port_);
        if (error) {
            acceptor_->close();
            acceptor_->open(tcp::v4());
            endpoint = tcp::endpoint(tcp::v4(), port_);
        }
        acceptor_->set_option(tcp::acceptor::reuse_address(true));
        acceptor_->bind(endpoint);
        acceptor_->listen(asio::socket_base::max_listen_connections);
    }

    void accept() {
        acceptor_->async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            if (error) {
                // Running out of descriptors is passing; try again shortly instead of spinning.
                logServerMessage("Skylark server failed: " + error.message());
                retryTimer_->expires_after(std::chrono::milliseconds(100));
                retryTimer_->async_wait([this](const asio::error_code& e) {
                    if (!e) {
                        accept();
                    }
                });
                return;
            }
            if (openConnections_ < options_.maxConnections) {
                ++openConnections_;
                std::make_shared<Connection>(std::move(socket), *this)->start();
            }  // else the socket closes here: over the cap, new connections are refused at once
            accept();
        });
    }

    const std::filesystem::path webRoot_;
    const std::shared_ptr<LiveHLSStore> store_;
    const Options options_;
    std::uint16_t port_;
    const std::string ownHostName_;
    SignalState state_;
    RouteContext routes_;
    std::vector<std::uint8_t> scratch_;
    std::size_t openConnections_ = 0;
    std::optional<asio::io_context> io_;
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    std::optional<asio::steady_timer> retryTimer_;
    std::optional<DnsSdAdvertiser> advertiser_;
    std::thread thread_;
};

HTTPServer::HTTPServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> liveStore)
    : HTTPServer(std::move(webRoot), std::move(liveStore), Options{}) {}

HTTPServer::HTTPServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> liveStore,
                       Options options)
    : impl_(std::make_unique<Impl>(std::move(webRoot), std::move(liveStore), options)) {}

HTTPServer::~HTTPServer() = default;

void HTTPServer::start() { impl_->start(); }
std::uint16_t HTTPServer::port() const { return impl_->port(); }
SignalState& HTTPServer::state() { return impl_->state(); }
LiveHLSStore& HTTPServer::liveStore() { return impl_->store(); }
std::string HTTPServer::localAddress() const { return skylark::localAddress(); }

}  // namespace skylark
