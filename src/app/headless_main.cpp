// Runs the HTTP service without a desktop: prints the TV address and serves until SIGINT or
// SIGTERM.
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

#include "http/http_server.hpp"
#include "http/web_resources.hpp"

int main() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked before any thread starts, so every thread leaves them to sigwait below.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto store = std::make_shared<skylark::LiveHLSStore>();
    skylark::HTTPServer server(skylark::defaultWebRoot(), store);
    try {
        server.start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Skylark could not start\n%s\n", error.what());
        return 1;
    }
    std::printf("Fire TV: http://%s:%u\n", server.localAddress().c_str(), server.port());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
