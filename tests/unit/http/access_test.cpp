#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "http/access_routes.hpp"
#include "http/device_access_file.hpp"
#include "http/request_framing.hpp"

namespace skylark {
namespace {

using State = DeviceAccess::Answer::State;

class AccessTest : public ::testing::Test {
  protected:
    AccessTest() {
        store_.reset();
        store_.addInitialization(makeBuffer("INIT"));
        store_.addSegment(makeBuffer("S0"));
    }
    DeviceAccess::Options options() {
        return {.saved = {},
                .save = [this](const DeviceAccess::Saved& s) { saved_ = s; },
                .randomBytes = [this](std::size_t n) { return std::string(n, char(++draws_)); },
                .now = [this] { return now_; }};
    }
    HTTPResponse get(const std::string& line, const std::string& peer,
                     const std::string& key = "") {
        HTTPRequest request = parseRequest(
            line + " HTTP/1.1" + (key.empty() ? "" : "\r\nCookie: a=b; skylark-key=" + key),
            makeBuffer(""));
        request.peer = peer;
        return routeForDevice(request, context_, access_);
    }
    static std::string text(const HTTPResponse& r) {
        return r.status + " " + std::string(asText(*r.body));
    }

    int draws_ = 0;
    DeviceAccess::Clock::time_point now_{};
    DeviceAccess::Saved saved_;
    DeviceAccess access_{options()};
    SignalState state_;
    LiveHLSStore store_;
    RouteContext context_{8765, &state_, &store_,
                          [](std::string_view name) { return makeBuffer(std::string(name)); },
                          [] { return std::string("192.168.1.7"); }};
};

const std::vector<std::string> kRequests = {
    // Open to every device:
    "GET /tv.html", "GET /api/live", "GET /api/command",
    // Only to loopback and allowed devices:
    "GET /live/stream.m3u8", "GET /live/init.mp4", "GET /live/segment0.m4s",
    "HEAD /live/segment0.m4s", "GET /live/progressive/segment9.m4s", "GET /live/nothing",
    "GET /api/offer", "GET /api/answer", "POST /api/offer", "POST /api/answer", "POST /api/reset",
    "POST /live/whep", "DELETE /live/whep/ab", "HEAD /tv.html", "GET /later/path"};

TEST_F(AccessTest, OnlyLoopbackAndAllowedKeysGetTheStreamAndTheRelay) {
    const std::string key = access_.ask("", "192.168.1.20").key;
    access_.allow(key);
    const std::string player = access_.addDevice("Media player");
    EXPECT_EQ(saved_.allowed.size(), 2u);
    struct Device {
        std::string peer, key;
        bool admitted;
    };
    for (const Device& d : std::vector<Device>{{"127.0.0.1", "", true},
                                               {"::1", "", true},
                                               {"192.168.1.20", key, true},
                                               {"192.168.1.99", player, true},
                                               {"192.168.1.20", "", false},  // address taken over
                                               {"192.168.1.20", key + "0", false},
                                               {"", "", false}}) {
        for (const std::string& line : kRequests) {
            HTTPRequest request = parseRequest(line + " HTTP/1.1", makeBuffer(""));
            const HTTPResponse today = route(request, context_);
            const HTTPResponse now = get(line, d.peer, d.key);
            const bool media =
                line != "GET /tv.html" && line != "GET /api/live" && line != "GET /api/command";
            const auto answer = [](const HTTPResponse& r) {
                return r.status + "|" + r.contentType + "|" + (r.stream ? "stream" : text(r));
            };
            EXPECT_EQ(answer(now), d.admitted || !media ? answer(today) : answer(now))
                << d.peer << " " << d.key << " " << line;
            EXPECT_EQ(now.status == "403 Forbidden", !d.admitted && media) << d.peer << line;
        }
    }
    // A player without cookies keeps its key in the path, which relative playlist entries keep.
    EXPECT_EQ(text(get("GET /device/" + player + "/live/segment0.m4s", "10.0.0.5")), "200 OK S0");
    for (const std::string& path :
         std::vector<std::string>{"/device/" + key + "0/live/init.mp4", "/device/", "/device//x"}) {
        EXPECT_EQ(get("GET " + path, "10.0.0.5").status, "403 Forbidden") << path;
    }
}

TEST_F(AccessTest, AskingWaitsForThePersonWhoAllowsDeniesOrTurnsAskingOff) {
    int reports = 0;
    access_.setListener([&] { ++reports; });
    EXPECT_EQ(text(get("POST /api/access", "127.0.0.1")), "200 OK {\"access\":\"allowed\"}");
    const DeviceAccess::Answer first = access_.ask("", "10.0.0.2");
    ASSERT_EQ(first.state, State::waiting);
    EXPECT_EQ(first.key.size(), 32u);
    EXPECT_EQ(first.code.size(), 4u);
    EXPECT_EQ(text(get("POST /api/access", "10.0.0.2", first.key)),
              "200 OK {\"access\":\"waiting\",\"code\":\"" + first.code + "\"}");
    EXPECT_EQ(access_.waiting().size(), 1u);
    access_.allow(first.key);
    EXPECT_EQ(access_.ask(first.key, "10.0.0.77").state,
              State::allowed);  // the key, not the address
    EXPECT_EQ(saved_.allowed.at(0).name, "10.0.0.2");
    access_.forget(first.key);
    EXPECT_NE(access_.ask(first.key, "10.0.0.2").key, "");  // asks afresh

    const std::string denied = access_.ask("", "10.0.0.3").key;
    access_.deny(denied);
    EXPECT_EQ(access_.ask(denied, "10.0.0.4").state, State::denied);
    EXPECT_EQ(access_.ask("", "10.0.0.3").state, State::denied);  // no prompt again soon
    now_ += DeviceAccess::kDeniedCooldown;
    EXPECT_EQ(access_.ask("", "10.0.0.3").state, State::waiting);
    for (int i = 0; i < 20; ++i) {
        access_.ask("", "10.1.0." + std::to_string(i));
    }
    EXPECT_EQ(access_.waiting().size(), DeviceAccess::kMaxWaiting);
    EXPECT_EQ(access_.waiting().back().address, "10.1.0.19");
    access_.setAsks(false);
    EXPECT_TRUE(access_.waiting().empty());
    EXPECT_TRUE(access_.admits("", "10.9.9.9"));
    EXPECT_FALSE(saved_.asks);
    EXPECT_GE(reports, 25);
}

TEST(DeviceAccessFile, KeepsTheListAndSkipsWhatIsNotAKey) {
    const auto file = std::filesystem::path(testing::TempDir()) / "skylark-access" / "tvs.conf";
    const std::string key(32, 'a');
    ASSERT_EQ(writeDeviceAccess(file, {false, {{key, "Living room TV"}}}), "");
    std::ofstream(file, std::ios::app)
        << "allow short name\nallow " << std::string(32, 'A') << "\n";
    const DeviceAccess::Saved read = readDeviceAccess(file);
    EXPECT_FALSE(read.asks);
    ASSERT_EQ(read.allowed.size(), 1u);
    EXPECT_EQ(read.allowed[0].key + "|" + read.allowed[0].name, key + "|Living room TV");
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none);
    EXPECT_TRUE(readDeviceAccess(file.string() + ".missing").asks);
    for (const auto& [address, loopback] :
         std::vector<std::pair<std::string, bool>>{{"127.0.0.1", true},
                                                   {"127.8.0.1", true},
                                                   {"::1", true},
                                                   {"::ffff:127.0.0.1", true},
                                                   {"128.0.0.1", false},
                                                   {"::2", false},
                                                   {"::ffff:10.0.0.1", false},
                                                   {"x", false}}) {
        EXPECT_EQ(isLoopbackAddress(address), loopback) << address;
    }
}

}  // namespace
}  // namespace skylark
