// The real HTTP server for the browser tests, on a port of its own choosing, steered through
// standard input one command a line:
//
//   init <file>      store the file as the initialization segment
//   segment <file>   store the file as the next media segment
//   reset            start a new cast in the store (identifiers restart at 0)
//   stop             raise the stop counter, as the menu's "Stop Casting" does
//   down             close the server: nothing listens on the port until "up"
//   up               serve again on the same port (with a fresh signal state)
//   writer           start a new cast from Skylark's own FFmpeg writer: a moving 640x360
//                    picture and a tone, encoded in real time into the store and sent to the
//                    WebRTC viewers at /live/whep
//   writer-stop      end that cast (the store keeps its content, marked stopped; the WebRTC
//                    sessions end)
//   ask on|off       whether a device other than this computer must be allowed (off at start)
//   allow|deny <code>  answer the waiting request whose TV shows <code>, as the person would
//
// It prints "listening <port>" once serving, and "ok" or "error <reason>" after each command,
// so a test can wait for a command to have taken effect. End of input ends the program.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "common/bytes.hpp"
#include "hls/live_hls_store.hpp"
#include "http/http_server.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"
#include "platform/gstreamer/webrtc_sender.hpp"

namespace {

using skylark::HTTPServer;
using skylark::LiveHLSStore;

// A live cast from the real writer with a synthetic source, paced like a capture at 30 fps.
class SyntheticCast {
  public:
    SyntheticCast(std::shared_ptr<LiveHLSStore> store,
                  std::shared_ptr<skylark::WebRTCSender> viewers)
        : store_(std::move(store)), segments_(std::make_shared<ToStore>(store_)) {
        store_->reset();
        auto made =
            skylark::withWebRTCViewers(skylark::makeFFmpegWriterFactory(), std::move(viewers))(
                {.width = kWidth, .height = kHeight}, segments_);
        if (auto* error = std::get_if<skylark::Error>(&made)) {
            throw std::runtime_error(error->localizedDescription());
        }
        encoder_ = std::get<std::shared_ptr<skylark::StreamWriter>>(std::move(made));
        thread_ = std::thread([this] { feed(); });
    }
    ~SyntheticCast() {
        running_ = false;
        thread_.join();
        encoder_->cancel(), store_->stop();
    }

  private:
    static constexpr int kWidth = 640, kHeight = 360, kRate = 48000, kFps = 30;

    static std::int64_t now_ns() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void feed() {
        const std::int64_t start = now_ns();
        encoder_->start(start);
        for (std::int64_t frame = 0; running_; ++frame) {
            const std::int64_t at = start + frame * 1'000'000'000 / kFps;
            std::this_thread::sleep_for(std::chrono::nanoseconds(at - now_ns()));
            // A grey picture with a white bar sweeping across it, in I420 as captured.
            const int chroma = kWidth / 2 * (kHeight / 2);
            std::shared_ptr<std::uint8_t[]> pixels(new std::uint8_t[kWidth * kHeight + 2 * chroma]);
            const int bar = static_cast<int>(frame * 8 % kWidth);
            for (int y = 0; y < kHeight; ++y) {
                for (int x = 0; x < kWidth; ++x) {
                    pixels[y * kWidth + x] = x >= bar && x < bar + 40 ? 235 : 98;
                }
            }
            std::fill_n(&pixels[kWidth * kHeight], 2 * chroma, std::uint8_t{128});
            const std::uint8_t* u = &pixels[kWidth * kHeight];
            if (encoder_->isReadyFor(skylark::MediaKind::video)) {
                encoder_->appendVideo({kWidth, kHeight, kWidth,
                                       std::shared_ptr<const std::uint8_t>(pixels, pixels.get()), u,
                                       u + chroma, kWidth / 2, at});
            }
            const int count = kRate / kFps;
            std::shared_ptr<float[]> samples(new float[count * 2]);
            for (int i = 0; i < count; ++i) {
                const double t = static_cast<double>(frame * count + i) / kRate;
                samples[2 * i] = samples[2 * i + 1] =
                    static_cast<float>(0.2 * std::sin(2 * M_PI * 440 * t));
            }
            if (encoder_->isReadyFor(skylark::MediaKind::audio)) {
                encoder_->appendAudio(
                    {count, 2, kRate, std::shared_ptr<const float>(samples, samples.get()), at});
            }
        }
    }

    // Hands the writer's segments to the store.
    struct ToStore : skylark::StreamWriterDelegate {
        explicit ToStore(std::shared_ptr<LiveHLSStore> s) : store(std::move(s)) {}
        void writerDidOutputSegment(skylark::ByteBuffer data, skylark::SegmentKind type) override {
            using enum skylark::SegmentKind;
            type == initialization ? store->addInitialization(std::move(data))
            : type == part         ? store->addPart(std::move(data))
                                   : store->addSegment(std::move(data));
        }
        std::shared_ptr<LiveHLSStore> store;
    };

    std::shared_ptr<LiveHLSStore> store_;
    std::shared_ptr<ToStore> segments_;
    std::shared_ptr<skylark::StreamWriter> encoder_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

std::shared_ptr<skylark::WebRTCSender> viewers() {
    static const auto sender = [] {
        auto made = skylark::WebRTCSender::create();
        if (auto* error = std::get_if<skylark::Error>(&made)) {
            throw std::runtime_error(error->localizedDescription());
        }
        return std::get<std::shared_ptr<skylark::WebRTCSender>>(std::move(made));
    }();
    return sender;
}

std::unique_ptr<HTTPServer> serve(const std::filesystem::path& webRoot,
                                  const std::shared_ptr<LiveHLSStore>& store, std::uint16_t port) {
    static const auto access = std::make_shared<skylark::DeviceAccess>(
        skylark::DeviceAccess::Options{.saved = {.asks = false}});
    auto server = std::make_unique<HTTPServer>(
        webRoot, store,
        HTTPServer::Options{
            .port = port, .advertise = false, .access = access, .viewers = viewers()});
    server->start();
    return server;
}

// Runs one command; an empty result means it was done, otherwise the reason it was not.
std::string run(const std::string& line, const std::filesystem::path& webRoot,
                const std::shared_ptr<LiveHLSStore>& store, std::unique_ptr<HTTPServer>& server,
                std::unique_ptr<SyntheticCast>& cast, std::uint16_t port) {
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (command == "init" || command == "segment") {
        std::ifstream in(argument, std::ios::binary);
        auto bytes = skylark::makeBuffer(
            skylark::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
        if (!in) {
            return "cannot read " + argument;
        }
        command == "init" ? store->addInitialization(bytes) : store->addSegment(bytes);
    } else if (command == "reset") {
        store->reset();
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
    } else if (command == "writer" || command == "writer-stop") {
        cast.reset();  // the old cast ends before the new one resets the store
        cast = command == "writer" ? std::make_unique<SyntheticCast>(store, viewers()) : nullptr;
    } else if (command == "ask" && server) {
        server->access().setAsks(argument == "on");
    } else if ((command == "allow" || command == "deny") && server) {
        for (const auto& request : server->access().waiting()) {
            if (request.code == argument) {
                command == "allow" ? server->access().allow(request.key)
                                   : server->access().deny(request.key);
                return {};
            }
        }
        return "no device waits with the code " + argument;
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
        std::unique_ptr<SyntheticCast> cast;
        std::cout << "listening " << port << std::endl;
        for (std::string line; std::getline(std::cin, line);) {
            std::string failure;
            try {
                failure = run(line, webRoot, store, server, cast, port);
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
