#include "stream_checks.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "fmp4_boxes.hpp"
#include "media_probe.hpp"

namespace skylark::test {

namespace {

std::string describe(const std::vector<ProbedPacket>& packets) {
    std::ostringstream text;
    for (const auto& p : packets) {
        text << (p.video ? "v" : "a") << p.pts << (p.key ? "K " : " ");
    }
    return text.str();
}

}  // namespace

// What every stream must satisfy, whatever the way it was fed. Returns the number of video
// frames in all segments.
int expectPlayableStream(const SegmentCollector& out, int width, int height, bool regularSegments) {
    auto segments = out.segments();
    EXPECT_GE(segments.size(), 3u);
    if (segments.empty()) {
        return 0;
    }
    EXPECT_EQ(segments.front().type, ffmpeg::SegmentType::initialization)
        << "the header comes first";
    const Bytes* init = out.initialization();
    auto media = out.media();
    EXPECT_EQ(media.size() + 1, segments.size()) << "one initialization segment";

    Probe header = probe({init}, false);
    EXPECT_EQ(header.error, "");
    EXPECT_EQ(header.tracks.size(), 2u);
    for (const auto& track : header.tracks) {
        if (track.video) {
            EXPECT_EQ(track.codec, "h264");
            EXPECT_EQ(track.width, width);
            EXPECT_EQ(track.height, height);
            EXPECT_TRUE(track.bt709);
        } else {
            EXPECT_EQ(track.codec, "aac");
            EXPECT_EQ(track.sampleRate, 48000);
            EXPECT_EQ(track.channels, 2);
        }
    }

    std::string error;
    auto tracks = readTracks(*init, error);
    EXPECT_EQ(error, "");
    std::uint32_t videoID = 0, audioID = 0;
    for (const auto& [id, track] : tracks) {
        (track.video ? videoID : audioID) = id;
    }

    double videoEnd = 0, audioEnd = 0;
    int videoFrames = 0;
    for (std::size_t i = 0; i < media.size(); ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        Probe p = probe({init, media[i]}, true);
        EXPECT_EQ(p.error, "");
        auto video = p.of(true);
        auto audio = p.of(false);
        EXPECT_FALSE(video.empty());
        EXPECT_FALSE(audio.empty()) << "hls.js needs both tracks in every segment";
        if (video.empty() || audio.empty()) {
            continue;
        }
        EXPECT_TRUE(video.front().key) << describe(video);
        EXPECT_EQ(p.decodedVideoFrames, static_cast<int>(video.size()))
            << "decodes after the initialization segment alone";
        EXPECT_EQ(p.decodedAudioFrames, static_cast<int>(audio.size()));
        EXPECT_EQ(p.damagedFrames, 0);
        for (std::size_t k = 1; k < video.size(); ++k) {
            EXPECT_GT(video[k].pts, video[k - 1].pts);
        }

        // Timing as a player reads it from the boxes.
        auto fragments = readFragments(*media[i], tracks, error);
        EXPECT_EQ(error, "");
        const FragmentTiming& v = fragments[videoID];
        const FragmentTiming& a = fragments[audioID];
        EXPECT_EQ(v.samples, video.size());
        EXPECT_EQ(a.samples, audio.size());
        if (regularSegments && i + 1 < media.size()) {
            EXPECT_GE(v.duration, 0.2 - 1e-6);
            EXPECT_LE(v.duration, 0.3 + 1e-6);
        }
        // Both tracks start at 0 and run on without gaps or overlaps.
        EXPECT_NEAR(v.start, videoEnd, 1e-6);
        EXPECT_NEAR(a.start, audioEnd, 1e-6) << describe(audio);
        videoEnd = v.start + v.duration;
        audioEnd = a.start + a.duration;
        videoFrames += static_cast<int>(video.size());
    }
    // The tracks end together, give or take the lag allowed to audio and what the AAC encoder
    // holds back.
    EXPECT_NEAR(audioEnd, videoEnd, 0.25);
    return videoFrames;
}

}  // namespace skylark::test
