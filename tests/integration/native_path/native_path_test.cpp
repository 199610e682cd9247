// One native cast through every real piece: the screen of an Xvfb server painted a known
// colour, system audio from a PulseAudio null sink, the FFmpeg writer, the store and the HTTP
// server. A player's view of it, over HTTP, must decode and show that colour.

#include <arpa/inet.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <sstream>

#include "http/http_server.hpp"
#include "integration/ffmpeg/media_reader.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"
#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_content_filter.hpp"
#include "platform/x11/x11_desktop.hpp"
#include "support/chunked_body.hpp"
#include "support/desktop_services.hpp"
#include "unit/caster/fakes.hpp"

namespace skylark::test {
namespace {

using namespace std::chrono_literals;

// GET over a fresh loopback connection: the body of a 200 response, or nothing.
std::optional<Bytes> httpGet(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char chunk[65536];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            response.append(chunk, std::size_t(n));
        }
    }
    ::close(fd);
    const auto end = response.find("\r\n\r\n");
    if (!response.starts_with("HTTP/1.1 200 OK") || end == std::string::npos) {
        return std::nullopt;
    }
    return Bytes(response.begin() + std::ptrdiff_t(end + 4), response.end());
}

void paintRoot(const std::string& display, std::uint32_t rgb) {
    xcb_connection_t* conn = xcb_connect(display.c_str(), nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    xcb_change_window_attributes(conn, screen->root, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(conn, 0, screen->root, 0, 0, 0, 0);
    // Casts draw the pointer, which Xvfb puts at the centre the test reads: park it in a corner.
    xcb_warp_pointer(conn, XCB_NONE, screen->root, 0, 0, 0, 0, 0, 0);
    // A round trip, so the screen is painted before anyone grabs it.
    std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    xcb_disconnect(conn);
}

TEST(NativePath, ACastOfTheScreenIsServedAsSegmentsThatDecodeToWhatIsShown) {
    testing::XvfbServer xvfb(640, 360);
    testing::PulseServer pulse;
    paintRoot(xvfb.display(), 0xE01010);  // a strong red
    std::string error;
    auto conn = x11::Connection::open(xvfb.display(), error);
    ASSERT_TRUE(conn) << error;

    const auto dir = std::filesystem::temp_directory_path();
    auto store = std::make_shared<LiveHLSStore>();
    HTTPServer server(dir, store, {.port = 0, .advertise = false});
    server.start();
    const auto logPath = dir / ("skylark-native-path-" + std::to_string(::getpid()) + ".log");
    auto trace = std::make_shared<TraceLog>(logPath.string());
    auto main = std::make_shared<QueueMain>();
    auto picker = std::make_shared<FakePicker>();
    auto caster = NativeCaster::create(
        store,
        {picker, makeX11CaptureStreamFactory({.audioServer = pulse.address(), .trace = trace}),
         makeFFmpegWriterFactory(), main, trace, nullptr, nullptr});
    std::mutex lock;
    std::string status;
    main->post([&] {
        caster->setStateChanged([&](bool, const std::string& text) {
            std::lock_guard guard(lock);
            status = text;
        });
        caster->start();
    });
    main->queue.flush();
    picker->select(X11ContentFilter::forDisplay(xvfb.display(), x11::listMonitors(*conn).at(0)));

    // As a player sees it: /api/live, then the playlist, the initialization and media segments.
    std::vector<std::string> names;
    for (int i = 0; i < 400 && names.size() < 4; ++i, std::this_thread::sleep_for(50ms)) {
        const auto live = httpGet(server.port(), "/api/live");
        const auto playlist = httpGet(server.port(), "/live/stream.m3u8");
        if (live && asText(*live) == "{\"active\":true}" && playlist) {
            std::istringstream lines{std::string(asText(*playlist))};
            names.clear();
            for (std::string line; std::getline(lines, line);) {
                if (line.ends_with(".m4s")) {
                    names.push_back(line);
                }
            }
        }
    }
    // Two after the newest listed: read while it is written, it is the segment when finished.
    ASSERT_GE(names.size(), 4u) << "no playable stream within 20 s";
    const std::int64_t next = std::stoll(names.back().substr(7)) + 2;
    const auto streamed =
        httpGet(server.port(), "/live/progressive/segment" + std::to_string(next) + ".m4s");
    const auto [progressive, ended] = dechunk(streamed ? asText(*streamed) : "");
    EXPECT_TRUE(ended);
    names.push_back("segment" + std::to_string(next - 1) + ".m4s");
    names.push_back("segment" + std::to_string(next) + ".m4s");
    const auto init = httpGet(server.port(), "/live/init.mp4");
    ASSERT_TRUE(init);
    std::deque<Bytes> segments;
    std::vector<const Bytes*> media;
    for (const std::string& name : names) {
        if (auto segment = httpGet(server.port(), "/live/" + name)) {
            media.push_back(&segments.emplace_back(std::move(*segment)));
        }
    }
    EXPECT_EQ(asText(segments.back()), progressive);
    EXPECT_GT(expectPlayable(*init, media, 640, 360, false), 10);
    // 0xE01010 in BT.601 limited range, as the stream is tagged: Y 83, U 97, V 219 (BT.709
    // would give Y 68, U 107).
    const Probe probe = test::probe({&*init, media.at(0)});
    EXPECT_NEAR(probe.centreY, 83, 4);
    EXPECT_NEAR(probe.centreU, 97, 4);
    EXPECT_NEAR(probe.centreV, 219, 4);

    main->post([&] { caster->stop(); });
    EXPECT_TRUE(testing::pollUntil(
        [&] {
            const std::lock_guard guard(lock);
            return status == "Ready";
        },
        10s));
    EXPECT_EQ(asText(httpGet(server.port(), "/api/live").value()), "{\"active\":false}");
    std::filesystem::remove(logPath);
}

}  // namespace
}  // namespace skylark::test
