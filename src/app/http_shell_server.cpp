#include "app/http_shell_server.hpp"

namespace skylark {
namespace {

class HTTPShellServer final : public ShellServer {
  public:
    HTTPShellServer(std::filesystem::path webRoot, std::shared_ptr<LiveHLSStore> store,
                    HTTPServer::Options options, InterfaceLister interfaces)
        : access_(options.access ? options.access : std::make_shared<DeviceAccess>()),
          server_(std::move(webRoot), std::move(store), withAccess(options, access_)),
          interfaces_(std::move(interfaces)) {}

    void start() override { server_.start(); }
    std::uint16_t port() const override { return server_.port(); }
    std::string localAddress() const override {
        return interfaces_ ? chooseLocalAddress(interfaces_()) : server_.localAddress();
    }
    void requestStop() override { server_.state().requestStop(); }
    std::shared_ptr<DeviceAccess> access() const override { return access_; }

  private:
    static HTTPServer::Options withAccess(HTTPServer::Options options,
                                          std::shared_ptr<DeviceAccess> access) {
        options.access = std::move(access);
        return options;
    }

    // The server's own list, so the shell always has the one the server consults.
    std::shared_ptr<DeviceAccess> access_;
    HTTPServer server_;
    InterfaceLister interfaces_;
};

}  // namespace

std::unique_ptr<ShellServer> makeHTTPShellServer(std::filesystem::path webRoot,
                                                 std::shared_ptr<LiveHLSStore> store,
                                                 HTTPServer::Options options,
                                                 InterfaceLister interfaces) {
    return std::make_unique<HTTPShellServer>(std::move(webRoot), std::move(store), options,
                                             std::move(interfaces));
}

}  // namespace skylark
