// The real HTTP server for load tests, its store holding segment-sized bodies. Prints the port it
// listens on, then serves until SIGINT or SIGTERM.
//   bench_http_server [segment bytes] [web folder] [cast]
// With "cast", the store changes as during a cast: a fragment every 62.5 ms, a whole segment
// every 250 ms. Otherwise it holds one segment and never changes.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "http/http_server.hpp"

int main(int argc, char** argv) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::size_t segmentBytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 190000;
    const char* webRoot = argc > 2 ? argv[2] : "/nonexistent";
    const bool cast = argc > 3 && std::strcmp(argv[3], "cast") == 0;
    auto store = std::make_shared<skylark::LiveHLSStore>();
    store->reset();
    store->addInitialization(skylark::makeBuffer("init"));
    store->addSegment(skylark::makeBuffer(skylark::Bytes(segmentBytes, 0x5a)));

    skylark::HTTPServer server(webRoot, store, {.port = 0, .advertise = false});
    server.start();
    std::printf("%u\n", server.port());
    std::fflush(stdout);
    if (cast) {
        std::thread([store, segmentBytes] {
            const skylark::ByteBuffer part =
                skylark::makeBuffer(skylark::Bytes(segmentBytes / 4, 1));
            const skylark::ByteBuffer whole =
                skylark::makeBuffer(skylark::Bytes(segmentBytes / 4 * 4, 1));
            auto next = std::chrono::steady_clock::now();
            for (int n = 1;; ++n) {
                next += std::chrono::microseconds(62500);
                std::this_thread::sleep_until(next);
                store->addPart(part);
                if (n % 4 == 0) {
                    store->addSegment(whole);
                }
            }
        }).detach();
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
