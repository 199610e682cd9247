#include "app/headless.hpp"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/launch_messages.hpp"
#include "http/http_server.hpp"
#include "http/web_resources.hpp"

namespace skylark {

int runHeadless(const std::string& reason) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked before the server's thread starts, so every thread leaves them to sigwait below.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    HTTPServer server(defaultWebRoot(), std::make_shared<LiveHLSStore>());
    try {
        server.start();
    } catch (const std::exception& error) {
        printStartFailure(startFailureText(error, server.port()));
        return 1;
    }
    printTVAddress(server.localAddress(), server.port());
    std::printf(
        "Native sharing needs a desktop session. %s\nServing the web pages only; stop with "
        "Ctrl+C.\n",
        reason.c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}

}  // namespace skylark
