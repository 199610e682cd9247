#include "app/headless.hpp"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "app/launch_messages.hpp"
#include "http/device_access_file.hpp"
#include "http/http_server.hpp"
#include "http/web_resources.hpp"

namespace skylark {
namespace {

// With no desktop the terminal asks: each new request is printed once, and a line
// "allow <code>" or "deny <code>" on standard input answers it.
void askInTerminal(const std::shared_ptr<DeviceAccess>& access) {
    auto printed = std::make_shared<std::pair<std::mutex, std::set<std::string>>>();
    std::weak_ptr<DeviceAccess> weak = access;
    access->setListener([weak, printed] {
        const auto access = weak.lock();
        if (!access) {
            return;
        }
        std::lock_guard lock(printed->first);
        for (const DeviceAccess::Request& request : access->waiting()) {
            if (printed->second.insert(request.key).second) {
                std::printf(
                    "Let %s watch your screen? The TV shows the code %s. Type \"allow %s\" "
                    "or \"deny %s\" and press Enter.\n",
                    request.address.c_str(), request.code.c_str(), request.code.c_str(),
                    request.code.c_str());
                std::fflush(stdout);
            }
        }
    });
    // Detached: it blocks in a read until the process ends.
    std::thread([access] {
        std::string verb, code;
        while (std::cin >> verb >> code) {
            bool found = false;
            for (const DeviceAccess::Request& request : access->waiting()) {
                if (request.code == code && (verb == "allow" || verb == "deny")) {
                    verb == "allow" ? access->allow(request.key) : access->deny(request.key);
                    std::printf("%s %s.\n", verb == "allow" ? "Allowed" : "Denied",
                                request.address.c_str());
                    found = true;
                    break;
                }
            }
            if (!found) {
                std::printf("No TV waits with the code %s.\n", code.c_str());
            }
            std::fflush(stdout);
        }
    }).detach();
}

}  // namespace

int runHeadless(const std::string& reason) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked before the server's thread starts, so every thread leaves them to sigwait below.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string accessFile = deviceAccessFile().string();
    HTTPServer::Options options;
    options.access = loadDeviceAccess(accessFile);
    askInTerminal(options.access);
    HTTPServer server(defaultWebRoot(), std::make_shared<LiveHLSStore>(), options);
    try {
        server.start();
    } catch (const std::exception& error) {
        printStartFailure(startFailureText(error, server.port()));
        return 1;
    }
    printTVAddress(server.localAddress(), server.port());
    std::printf(
        "Native sharing needs a desktop session. %s\nServing the web pages only; stop with "
        "Ctrl+C.\nA device other than this computer asks here before it may take part; the "
        "devices allowed are kept in %s.\n",
        reason.c_str(),
        accessFile.empty() ? "memory until Skylark ends (no HOME)" : accessFile.c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}

}  // namespace skylark
