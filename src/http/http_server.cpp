#include "http/http_server.hpp"

#include <malloc.h>
#include <pthread.h>

#include <asio.hpp>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "http/access_routes.hpp"
#include "http/connection.hpp"
#include "http/dns_sd.hpp"
#include "http/local_address.hpp"
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
          access_(options.access ? options.access : std::make_shared<DeviceAccess>()),
          port_(options.port),
          ownHostName_(hostName()),
          deadlines_{.header = options.headerTimeout,
                     .request = options.requestTimeout,
                     .writeStall = options.writeStallTimeout,
                     .response = options.responseTimeout},
          webFiles_(webRoot_),
          scratch_(64 * 1024) {
        routes_.state = &state_;
        routes_.liveStore = store_.get();
        routes_.file = [this](std::string_view name) { return webFiles_.read(name); };
        routes_.localAddress = [] { return skylark::localAddress(); };
        routes_.whep.viewers = options_.viewers.get();
        waker_->impl = this;
        // Answers come on the viewers' threads, possibly after this server has gone.
        routes_.whep.wake = [waker = waker_] {
            std::lock_guard guard(waker->lock);
            if (waker->impl != nullptr) {
                asio::post(*waker->impl->io_, [impl = waker->impl] { impl->wakeAwaiting(); });
            }
        };
        io_.emplace(1);
    }

    ~Impl() override {
        {
            std::lock_guard guard(waker_->lock);
            waker_->impl = nullptr;
        }
        if (listens_) {
            store_->setListener(nullptr);  // no change is posted to the server thread after this
        }
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
        store_->setListener([this] { asio::post(*io_, [this] { wakeAwaiting(); }); });
        listens_ = true;
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
    DeviceAccess& access() { return *access_; }

    std::optional<HTTPResponse> refuse(const HTTPRequest& head, std::int64_t length) override {
        return refuseRequest(head, length, ownHostName_);
    }
    HTTPResponse respond(const HTTPRequest& request) override {
        return routeForDevice(request, routes_, *access_);
    }
    std::span<std::uint8_t> readScratch() override { return scratch_; }
    const ConnectionDeadlines& deadlines() const override { return deadlines_; }
    void awaitChange(std::weak_ptr<Connection> connection) override {
        if (auto locked = connection.lock()) {
            awaiting_.emplace(locked.get(), std::move(connection));
        }
    }

    Tracked tracked() {
        std::promise<Tracked> result;
        asio::post(*io_, [&] {
            result.set_value({open_.size(), counts_.size(), awaiting_.size()});
        });
        return result.get_future().get();
    }

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
        acceptor_->async_accept(
            [this](const asio::error_code& error, asio::ip::tcp::socket socket) {
                if (error == asio::error::operation_aborted) {
                    return;
                }
                if (error) {
                    acceptFailed(error);
                    return;
                }
                if (acceptRetry_.count() > 0) {
                    logServerMessage("Skylark server accepting connections again");
                    acceptRetry_ = {};
                }
                admit(std::move(socket));
                accept();
            });
    }

    // Running out of descriptors passes as connections close: one line per episode, and retries
    // that back off instead of spinning.
    void acceptFailed(const asio::error_code& error) {
        if (acceptRetry_.count() == 0) {
            logServerMessage("Skylark server failed: " + error.message());
        }
        acceptRetry_ = std::clamp(acceptRetry_ * 2, std::chrono::milliseconds(50),
                                  std::chrono::milliseconds(2000));
        retryTimer_->expires_after(acceptRetry_);
        retryTimer_->async_wait([this](const asio::error_code& e) {
            if (!e) {
                accept();
            }
        });
    }

    // No device can take every place. A device holds at most its own share; when a bound is
    // reached (the global cap, or its IPv6 network's), the newcomer takes the place of the
    // oldest connection of the address holding the most within that bound, if that address
    // would still hold more than the newcomer's (so two heavy devices cannot take places from
    // each other in turn), or if the newcomer's holds none. A connection of any phase can be
    // taken, so responses that are written slowly or wait for the store cannot hold places
    // either, and a device with few connections (a TV) always gets in. A socket refused here
    // closes at once and leaves nothing behind.
    void admit(asio::ip::tcp::socket socket) {
        asio::error_code error;
        const asio::ip::address peer = socket.remote_endpoint(error).address();
        if (error) {
            return;
        }
        const auto [address, network] = peerKeys(peer);
        const std::size_t mine = countOf(address);
        if (mine >= options_.maxConnectionsPerPeer) {
            return;
        }
        if (!network.empty() && countOf(network) >= options_.maxConnectionsPerNetwork &&
            !makeRoom(mine, network)) {
            return;
        }
        if (open_.size() >= options_.maxConnections && !makeRoom(mine, {})) {
            return;
        }
        ++counts_[address];
        if (!network.empty()) {
            ++counts_[network];
        }
        open_.push_back({{}, nullptr, address, network});
        const auto slot = std::prev(open_.end());
        auto connection = std::make_shared<Connection>(std::move(socket), *this, [this, slot] {
            release(slot->address);
            if (!slot->network.empty()) {
                release(slot->network);
            }
            awaiting_.erase(slot->raw);
            open_.erase(slot);
            ++releasedSinceTrim_;
            trimWhenQuiet();
        });
        slot->connection = connection;
        slot->raw = connection.get();
        connection->start();
    }

    // Closes the oldest connection of the address holding the most (within `network` unless
    // empty) if it holds more than `mine` + 1, or any when `mine` is 0.
    bool makeRoom(std::size_t mine, const std::string& network) {
        const Admitted* victim = nullptr;
        std::size_t most = mine == 0 ? 0 : mine + 1;
        for (const Admitted& admitted : open_) {
            if ((network.empty() || admitted.network == network) &&
                countOf(admitted.address) > most) {
                victim = &admitted;
                most = countOf(admitted.address);
            }
        }
        if (auto connection = victim ? victim->connection.lock() : nullptr) {
            connection->close();
            return true;
        }
        return false;
    }

    std::size_t countOf(const std::string& key) const {
        const auto found = counts_.find(key);
        return found == counts_.end() ? 0 : found->second;
    }
    void release(const std::string& key) {
        const auto found = counts_.find(key);
        if (found != counts_.end() && --found->second == 0) {
            counts_.erase(found);
        }
    }

    // An IPv4 peer (also as a mapped IPv6 address) is counted by its address. An IPv6 peer is
    // counted by its address and by its /64, which the devices of one home network share.
    static std::pair<std::string, std::string> peerKeys(const asio::ip::address& address) {
        if (address.is_v6() && !address.to_v6().is_v4_mapped()) {
            auto bytes = address.to_v6().to_bytes();
            std::fill(bytes.begin() + 8, bytes.end(), 0);
            return {address.to_string(), asio::ip::address_v6(bytes).to_string() + "/64"};
        }
        return {address.is_v6()
                    ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
                    : address.to_string(),
                {}};
    }

    void wakeAwaiting() {
        for (const auto& [raw, weak] : std::exchange(awaiting_, {})) {
            if (auto connection = weak.lock()) {
                connection->resume();
            }
        }
    }

    // Request buffers are small but many; after a burst the allocator keeps their pages unless
    // told to give them back (measured: some megabytes after a few hundred connections). Once
    // the server is quiet again, and not after every connection, is enough: when few are left,
    // and once more when the last of those has gone. A closed connection is freed only after
    // its cancelled handlers have run, so the trim is queued behind them.
    void trimWhenQuiet() {
        const bool few = open_.size() <= 8 && releasedSinceTrim_ >= 64;
        if (few || (open_.empty() && trimWhenEmpty_)) {
            releasedSinceTrim_ = few ? 0 : releasedSinceTrim_;
            trimWhenEmpty_ = few;
            asio::post(*io_, [] { ::malloc_trim(0); });
        }
    }

    const std::filesystem::path webRoot_;
    const std::shared_ptr<LiveHLSStore> store_;
    const Options options_;
    const std::shared_ptr<DeviceAccess> access_;
    std::uint16_t port_;
    const std::string ownHostName_;
    SignalState state_;
    const ConnectionDeadlines deadlines_;
    WebFiles webFiles_;
    RouteContext routes_;
    std::vector<std::uint8_t> scratch_;
    struct Admitted {
        std::weak_ptr<Connection> connection;
        const Connection* raw;
        std::string address;
        std::string network;  // an IPv6 peer's /64, else empty
    };
    std::list<Admitted> open_;                             // oldest first
    std::unordered_map<std::string, std::size_t> counts_;  // of addresses and networks
    // Streamed responses waiting for the store; a closing connection leaves at once, so a store
    // that does not change keeps no trace of the readers that gave up.
    std::unordered_map<const Connection*, std::weak_ptr<Connection>> awaiting_;
    bool listens_ = false;  // to the store's changes
    std::chrono::milliseconds acceptRetry_{0};
    std::size_t releasedSinceTrim_ = 0;
    bool trimWhenEmpty_ = false;
    std::optional<asio::io_context> io_;
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    std::optional<asio::steady_timer> retryTimer_;
    std::optional<DnsSdAdvertiser> advertiser_;
    std::thread thread_;
    struct Waker {
        std::mutex lock;
        Impl* impl = nullptr;
    };
    const std::shared_ptr<Waker> waker_ = std::make_shared<Waker>();
};

HTTPServer::HTTPServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> liveStore)
    : HTTPServer(std::move(webRoot), std::move(liveStore), Options{}) {}

HTTPServer::HTTPServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> liveStore,
                       Options options)
    : impl_(std::make_unique<Impl>(std::move(webRoot), std::move(liveStore), options)) {}

HTTPServer::~HTTPServer() = default;

void HTTPServer::start() {
    impl_->start();
}
std::uint16_t HTTPServer::port() const {
    return impl_->port();
}
SignalState& HTTPServer::state() {
    return impl_->state();
}
LiveHLSStore& HTTPServer::liveStore() {
    return impl_->store();
}
DeviceAccess& HTTPServer::access() {
    return impl_->access();
}
std::string HTTPServer::localAddress() const {
    return skylark::localAddress();
}
HTTPServer::Tracked HTTPServer::tracked() const {
    return impl_->tracked();
}

}  // namespace skylark
