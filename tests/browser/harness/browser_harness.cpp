// The real HTTP server for the browser tests, on a port of its own choosing, steered through
// standard input one command a line:
//
//   init <file>      store the file as the initialization segment
//   segment <file>   store the file as the next media segment
//   reset            start a new cast in the store (identifiers restart at 0)
//   end              mark the cast stopped (the store keeps its content)
//   stop             raise the stop counter, as the menu's "Stop Casting" does
//   down             close the server: nothing listens on the port until "up"
//   up               serve again on the same port (with a fresh signal state)
//
// It prints "listening <port>" once serving, and "ok" or "error <reason>" after each command,
// so a test can wait for a command to have taken effect. End of input ends the program.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "common/bytes.hpp"
#include "hls/live_hls_store.hpp"
#include "http/http_server.hpp"

namespace {

using skylark::HTTPServer;
using skylark::LiveHLSStore;

std::optional<skylark::Bytes> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return skylark::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<HTTPServer> serve(const std::filesystem::path& webRoot,
                                  const std::shared_ptr<LiveHLSStore>& store, std::uint16_t port) {
    auto server = std::make_unique<HTTPServer>(
        webRoot, store, HTTPServer::Options{.port = port, .advertise = false});
    server->start();
    return server;
}

// Runs one command; an empty result means it was done, otherwise the reason it was not.
std::string run(const std::string& line, const std::filesystem::path& webRoot,
                const std::shared_ptr<LiveHLSStore>& store, std::unique_ptr<HTTPServer>& server,
                std::uint16_t port) {
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (command == "init" || command == "segment") {
        auto bytes = readFile(argument);
        if (!bytes) {
            return "cannot read " + argument;
        }
        if (command == "init") {
            store->addInitialization(skylark::makeBuffer(std::move(*bytes)));
        } else {
            store->addSegment(skylark::makeBuffer(std::move(*bytes)));
        }
    } else if (command == "reset") {
        store->reset();
    } else if (command == "end") {
        store->stop();
    } else if (command == "stop") {
        if (!server) {
            return "the server is down";
        }
        server->state().requestStop();
    } else if (command == "down") {
        server.reset();
    } else if (command == "up") {
        if (!server) {
            server = serve(webRoot, store, port);
        }
    } else {
        return "unknown command " + command;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: skylark_browser_harness <web folder>\n";
        return 2;
    }
    const std::filesystem::path webRoot = argv[1];
    auto store = std::make_shared<LiveHLSStore>();
    try {
        auto server = serve(webRoot, store, 0);
        const std::uint16_t port = server->port();
        std::cout << "listening " << port << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.empty()) {
                continue;
            }
            std::string failure;
            try {
                failure = run(line, webRoot, store, server, port);
            } catch (const std::exception& error) {
                failure = error.what();  // "up" when the port was taken meanwhile
            }
            std::cout << (failure.empty() ? "ok" : "error " + failure) << std::endl;
        }
    } catch (const std::exception& error) {
        std::cerr << "skylark_browser_harness: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
