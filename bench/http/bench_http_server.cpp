// The real HTTP server holding one segment-sized body in its store, for load tests. Prints the
// port it listens on, then serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "http/http_server.hpp"

int main(int argc, char** argv) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::size_t segmentBytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 190000;
    auto store = std::make_shared<skylark::LiveHLSStore>();
    store->reset();
    store->addInitialization(skylark::makeBuffer("init"));
    store->addSegment(skylark::makeBuffer(skylark::Bytes(segmentBytes, 0x5a)));

    skylark::HTTPServer server("/nonexistent", store, {.port = 0, .advertise = false});
    server.start();
    std::printf("%u\n", server.port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
