#include "platform/gstreamer/offer_codecs.hpp"

#include <gtest/gtest.h>

namespace skylark {
namespace {

// A browser's offer: H.264 in several profiles (one in packetization mode 0), VP8, and Opus;
// 125 is mapped but not offered on the m-line.
const std::string kOffer =
    "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n"
    "m=audio 9 UDP/TLS/RTP/SAVPF 111 0\r\na=rtpmap:111 opus/48000/2\r\na=rtpmap:0 PCMU/8000\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 96 102 103 106 108 112\r\na=rtpmap:96 VP8/90000\r\n"
    "a=rtpmap:102 H264/90000\r\na=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;"
    "profile-level-id=42001f\r\na=rtpmap:103 H264/90000\r\na=fmtp:103 "
    "packetization-mode=0;profile-level-id=42e01f\r\na=rtpmap:106 H264/90000\r\n"
    "a=fmtp:106 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"
    "a=rtpmap:108 h264/90000\r\na=fmtp:108 packetization-mode=1;profile-level-id=4d001f\r\n"
    "a=rtpmap:112 H264/90000\r\na=fmtp:112 packetization-mode=1;profile-level-id=64001f\r\n"
    "a=rtpmap:125 H264/90000\r\na=fmtp:125 packetization-mode=1;profile-level-id=640c1f\r\n";

std::string without(std::string text, const std::string& piece) {
    for (auto at = text.find(piece); at != text.npos; at = text.find(piece)) {
        text.erase(at, piece.size());
    }
    return text;
}

TEST(OfferCodecs, TheStreamsOwnProfileElseConstrainedBaselineInModeOne) {
    const struct {
        std::string offer, streamProfile;
        int video;
        std::optional<int> audio;
    } cases[] = {
        {kOffer, "4d401e", 108, 111},  // main, whatever its constraint flags and level
        {kOffer, "640028", 112, 111},
        {kOffer, "640c28", 112, 111},  // constrained high is not offered (125 is not on the line)
        {kOffer, "42c01e", 106, 111},  // x264's constrained baseline: the offer's
        {kOffer, "", 106, 111},
        {without(kOffer,
                 "a=fmtp:106 level-asymmetry-allowed=1;packetization-mode=1;"
                 "profile-level-id=42e01f\r\n"),
         "4e0028", 102, 111},  // a format without parameters is mode 0
        {without(without(kOffer, "\r"), "m=audio 9 UDP/TLS/RTP/SAVPF 111 0\n"), "4d401e", 108,
         std::nullopt},  // bare newlines; the Opus mapping then belongs to no audio line
    };
    for (const auto& c : cases) {
        const auto got = offerCodecs(c.offer, c.streamProfile);
        ASSERT_TRUE(std::holds_alternative<OfferCodecs>(got)) << c.streamProfile;
        EXPECT_EQ(std::get<OfferCodecs>(got).videoPayload, c.video) << c.streamProfile;
        EXPECT_EQ(std::get<OfferCodecs>(got).audioPayload, c.audio) << c.streamProfile;
    }
}

TEST(OfferCodecs, RefusesWhatCannotCarryTheStream) {
    const std::string noModeOne =
        without(without(without(without(kOffer, "packetization-mode=1;profile-level-id=42001f"),
                                "packetization-mode=1;"
                                "profile-level-id=42e01f"),
                        "packetization-mode=1;profile-level-id=4d001f"),
                "packetization-mode=1;profile-level-id=64001f");
    for (const auto& [offer, reason] : std::vector<std::pair<std::string, std::string>>{
             {"", "The offer is not a session description."},
             {"hello", "The offer is not a session description."},
             {without(kOffer, "v=0"), "The offer is not a session description."},
             {noModeOne, "The offer has no H.264 video in packetization mode 1."},
             {without(kOffer, "m=video"), "The offer has no H.264 video in packetization mode 1."},
         }) {
        const auto got = offerCodecs(offer, "42e01f");
        ASSERT_TRUE(std::holds_alternative<std::string>(got)) << offer;
        EXPECT_EQ(std::get<std::string>(got), reason);
    }
}

}  // namespace
}  // namespace skylark
