// One native cast through every real piece: the screen of an Xvfb server painted a known
// colour, system audio from a PulseAudio null sink, the FFmpeg writer, the store and the HTTP
// server. A player's view of it, over HTTP, must decode and show that colour.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <regex>

#include "caster/native_caster.hpp"
#include "common/serial_queue.hpp"
#include "http/http_server.hpp"
#include "integration/ffmpeg/media_reader.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"
#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_content_filter.hpp"
#include "platform/x11/x11_desktop.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;

// The event loop's stand-in: one serial queue.
class QueueMain final : public MainDispatcher {
  public:
    void post(std::function<void()> work) override { queue_.post(std::move(work)); }

  private:
    SerialQueue queue_{"test.main"};
};

// A person who picks the given display as soon as the picker is shown.
class ChoosingPicker final : public ContentPicker {
  public:
    explicit ChoosingPicker(std::shared_ptr<const ContentFilter> choice)
        : choice_(std::move(choice)) {}
    void addObserver(std::weak_ptr<ContentPickerObserver> observer) override {
        observer_ = observer;
    }
    void setDefaultConfiguration(const ContentPickerConfiguration&) override {}
    void setActive(bool) override {}
    void present() override {
        if (auto observer = observer_.lock()) {
            observer->contentSharingPickerDidUpdate(*this, choice_);
        }
    }

  private:
    std::shared_ptr<const ContentFilter> choice_;
    std::weak_ptr<ContentPickerObserver> observer_;
};

// GET over a fresh loopback connection; the body, or nothing on any failure.
std::optional<Bytes> httpGet(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::optional<Bytes> body;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            std::string response;
            char chunk[65536];
            for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                response.append(chunk, static_cast<std::size_t>(n));
            }
            const auto end = response.find("\r\n\r\n");
            if (response.starts_with("HTTP/1.1 200 OK") && end != std::string::npos) {
                body.emplace(response.begin() + static_cast<std::ptrdiff_t>(end + 4),
                             response.end());
            }
        }
    }
    ::close(fd);
    return body;
}

void paintRoot(const std::string& display, std::uint32_t rgb) {
    xcb_connection_t* conn = xcb_connect(display.c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(conn), 0);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    xcb_change_window_attributes(conn, screen->root, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(conn, 0, screen->root, 0, 0, 0, 0);
    // A round trip, so the screen is painted before anyone grabs it.
    std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    xcb_disconnect(conn);
}

}  // namespace

TEST(NativePath, ACastOfTheScreenIsServedAsSegmentsThatDecodeToWhatIsShown) {
    testing::XvfbServer xvfb(640, 360);
    testing::PulseServer pulse;
    paintRoot(xvfb.display(), 0xE01010);  // a strong red

    std::string error;
    auto conn = x11::Connection::open(xvfb.display(), error);
    ASSERT_TRUE(conn) << error;
    const auto monitors = x11::listMonitors(*conn);
    ASSERT_FALSE(monitors.empty());

    const auto webRoot = std::filesystem::temp_directory_path();
    auto store = std::make_shared<LiveHLSStore>();
    HTTPServer server(webRoot, store, {.port = 0, .advertise = false});
    server.start();

    const auto logPath = webRoot / ("skylark-native-path-" + std::to_string(::getpid()) + ".log");
    auto trace = std::make_shared<TraceLog>(logPath.string());
    auto main = std::make_shared<QueueMain>();
    auto caster = NativeCaster::create(
        store, {.picker = std::make_shared<ChoosingPicker>(
                    X11ContentFilter::forDisplay(xvfb.display(), monitors.front())),
                .makeStream =
                    makeX11CaptureStreamFactory({.audioServer = pulse.address(), .trace = trace}),
                .makeWriter = makeFFmpegWriterFactory(),
                .main = main,
                .trace = trace,
                .tasks = nullptr,
                .videoQueue = nullptr});

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> reports;
    main->post([&] {
        caster->setStateChanged([&](bool, const std::string& text) {
            std::lock_guard guard(lock);
            reports.push_back(text);
            changed.notify_all();
        });
        caster->start();
    });

    // Playable as a player sees it: /api/live, then the playlist, the init and media segments.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    const std::regex kSegmentName("segment\\d+\\.m4s");
    std::vector<std::string> names;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto live = httpGet(server.port(), "/api/live");
        const auto playlist = httpGet(server.port(), "/live/stream.m3u8");
        if (live && asText(*live) == "{\"active\":true}" && playlist) {
            const std::string text(asText(*playlist));
            names.clear();
            for (std::sregex_iterator it(text.begin(), text.end(), kSegmentName), end; it != end;
                 ++it) {
                names.push_back(it->str());
            }
            if (names.size() >= 4) {
                break;
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_GE(names.size(), 4u) << "no playable stream within 20 s";

    const auto init = httpGet(server.port(), "/live/init.mp4");
    ASSERT_TRUE(init);
    std::vector<Bytes> segments;
    for (const std::string& name : names) {
        if (auto segment = httpGet(server.port(), "/live/" + name)) {
            segments.push_back(std::move(*segment));
        }
    }
    ASSERT_GE(segments.size(), 3u) << "segments left the window before they could be fetched";
    std::vector<const Bytes*> media;
    for (const Bytes& segment : segments) {
        media.push_back(&segment);
    }
    EXPECT_GT(test::expectPlayable(*init, media, 640, 360, false), 10);
    // Red: low luma, blue difference below neutral, red difference far above it.
    const test::Probe probe = test::probe({&*init, media.front()});
    EXPECT_LT(probe.centreY, 110);
    EXPECT_LT(probe.centreU, 128);
    EXPECT_GT(probe.centreV, 200);

    main->post([&] { caster->stop(); });
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(
            guard, 10s, [&] { return !reports.empty() && reports.back() == "Ready"; }));
        EXPECT_NE(std::find(reports.begin(), reports.end(), "Casting screen + system audio"),
                  reports.end());
    }
    const auto live = httpGet(server.port(), "/api/live");
    ASSERT_TRUE(live);
    EXPECT_EQ(asText(*live), "{\"active\":false}");
    std::filesystem::remove(logPath);
}

}  // namespace skylark
