// The real writer end to end: synthetic frames and a tone in, segments read back with
// libavformat and decoded as a player would.

#include "platform/ffmpeg/hls_segment_encoder.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <random>
#include <sstream>
#include <string>

#include "fmp4_boxes.hpp"
#include "hls/live_hls_store.hpp"
#include "media_probe.hpp"
#include "stream_checks.hpp"
#include "writer_harness.hpp"

namespace skylark::test {
namespace {

using ffmpeg::EncoderSettings;
using ffmpeg::HLSSegmentEncoder;
using ffmpeg::SegmentType;
using Status = HLSSegmentEncoder::Status;

constexpr int kAudioRate = 48000;

struct Writer {
    std::unique_ptr<HLSSegmentEncoder> encoder;
    std::shared_ptr<SegmentCollector> out = std::make_shared<SegmentCollector>();
};

Writer makeWriter(EncoderSettings settings,
                  std::function<void(ByteBuffer, SegmentType)> extra = nullptr) {
    av_log_set_level(AV_LOG_FATAL);  // encoder statistics and probing notes
    Writer writer;
    auto out = writer.out;
    auto created =
        HLSSegmentEncoder::create(settings, [out, extra](ByteBuffer data, SegmentType type) {
            out->add(data, type);
            if (extra) {
                extra(data, type);
            }
        });
    EXPECT_TRUE(created.encoder) << created.error;
    writer.encoder = std::move(created.encoder);
    return writer;
}

EncoderSettings smallSettings(int width = 320, int height = 180) {
    EncoderSettings settings;
    settings.width = width;
    settings.height = height;
    return settings;
}

// One way of feeding a writer: which frames and audio buffers, stamped when.
struct Scenario {
    const char* name = "";
    int width = 320, height = 180;  // configured size
    double fps = 30;
    double seconds = 3;
    // The time of frame `index` (nominal: index / fps), or -1 to leave the frame out.
    std::function<std::int64_t(int index, std::int64_t nominal)> frameTime = nullptr;
    // The size of frame `index`; the configured one when empty.
    std::function<std::pair<int, int>(int index)> frameSize = nullptr;
    bool withAudio = true;
    int audioRate = kAudioRate;
    int audioChannels = 2;
    // Audio buffer `index` as (first sample, sample count, stamped time); count 0 leaves it out.
    std::function<std::tuple<std::int64_t, int, std::int64_t>(int index)> audioBuffer = nullptr;
    int droppedFrames = 0;        // frames the writer must refuse as not later than the last
    bool regularSegments = true;  // every segment but the last lasts 0.2 to 0.3 s
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

std::int64_t nominalTime(int index, double fps) {
    return static_cast<std::int64_t>(std::llround(index * kSecond_ns / fps));
}

std::tuple<std::int64_t, int, std::int64_t> steadyAudio(int index, int rate) {
    const int chunk = rate / 100;  // 10 ms
    std::int64_t first = static_cast<std::int64_t>(index) * chunk;
    return {first, chunk, first * kSecond_ns / rate};
}

// Feeds a scenario in time order, waiting for the writer to be ready before each append, so
// that nothing is dropped for back-pressure; then finishes the writer.
int feed(HLSSegmentEncoder& writer, const Scenario& s, std::int64_t start_ns = 0) {
    const int frames = static_cast<int>(s.seconds * s.fps);
    int accepted = 0;
    int audioIndex = 0;
    for (int i = 0; i <= frames; ++i) {
        const std::int64_t nominal = nominalTime(i, s.fps);
        // Audio buffers up to this frame's time first.
        while (s.withAudio && i < frames) {
            auto [first, count, stamp] =
                s.audioBuffer ? s.audioBuffer(audioIndex) : steadyAudio(audioIndex, s.audioRate);
            if (first * kSecond_ns / s.audioRate > nominal) {
                break;
            }
            ++audioIndex;
            if (count == 0) {
                continue;
            }
            EXPECT_TRUE(waitUntil([&] { return writer.isReadyForAudio(); }));
            EXPECT_TRUE(writer.appendAudio(toneSamples(first, count, s.audioRate, s.audioChannels),
                                           start_ns + stamp));
        }
        if (i == frames) {
            break;
        }
        std::int64_t time = s.frameTime ? s.frameTime(i, nominal) : nominal;
        if (time < 0) {
            continue;
        }
        auto [width, height] = s.frameSize ? s.frameSize(i) : std::pair{s.width, s.height};
        EXPECT_TRUE(waitUntil([&] { return writer.isReadyForVideo(); }));
        if (writer.appendVideo(patternFrame(width, height, i), start_ns + time)) {
            ++accepted;
        }
    }
    writer.finish();
    return accepted;
}

class StreamShape : public testing::TestWithParam<Scenario> {};

TEST_P(StreamShape, EverySegmentPlaysOnItsOwnAndTheStreamIsContinuous) {
    const Scenario& s = GetParam();
    Writer writer = makeWriter(smallSettings(s.width, s.height));
    ASSERT_TRUE(writer.encoder);
    ASSERT_TRUE(writer.encoder->start(5 * kSecond_ns));
    int accepted = feed(*writer.encoder, s, 5 * kSecond_ns);
    EXPECT_EQ(writer.encoder->status(), Status::completed);
    EXPECT_EQ(writer.encoder->error(), "");
    int encoded = expectPlayableStream(*writer.out, s.width, s.height, s.regularSegments);
    EXPECT_EQ(encoded, accepted - s.droppedFrames);
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> list;
    list.push_back({.name = "steady_30fps"});
    list.push_back({.name = "steady_24fps", .fps = 24});
    list.push_back({.name = "steady_15fps", .fps = 15});
    list.push_back({.name = "tiny_picture", .width = 2, .height = 2, .seconds = 1});
    list.push_back({.name = "full_hd", .width = 1920, .height = 1080, .seconds = 1});
    {
        Scenario s{.name = "jittery_frame_times"};
        s.frameTime = [](int index, std::int64_t nominal) {
            return index == 0 ? nominal : nominal + ((index * 7919) % 11 - 5) * 1'000'000;
        };
        list.push_back(s);
    }
    {
        // The capture pauses for 0.6 s: one long segment, then the stream goes on.
        Scenario s{.name = "pause_in_frames", .regularSegments = false};
        s.frameTime = [](int index, std::int64_t nominal) {
            return index > 30 && index < 48 ? -1 : nominal;
        };
        list.push_back(s);
    }
    {
        // A repeated time and a time going back: those frames are refused.
        Scenario s{.name = "frames_out_of_order", .droppedFrames = 2};
        s.frameTime = [](int index, std::int64_t nominal) {
            if (index == 10) {
                return nominalTime(9, 30);
            }
            if (index == 20) {
                return nominalTime(18, 30);
            }
            return nominal;
        };
        list.push_back(s);
    }
    {
        Scenario s{.name = "frames_of_other_sizes"};
        s.frameSize = [](int index) {
            return index % 3 == 0 ? std::pair{640, 360} : std::pair{100 + index % 2 * 2, 50};
        };
        list.push_back(s);
    }
    list.push_back({.name = "no_audio_at_all", .withAudio = false});
    list.push_back({.name = "mono_44100_audio", .audioRate = 44100, .audioChannels = 1});
    {
        // Uneven buffer sizes, stamps off by up to 15 ms, a 200 ms hole, and a buffer that
        // repeats the time span of the one before.
        Scenario s{.name = "uneven_audio"};
        s.audioBuffer = [](int index) -> std::tuple<std::int64_t, int, std::int64_t> {
            const int chunk = 256 + (index * 389) % 1800;
            std::int64_t first = 0;
            for (int k = 0; k < index; ++k) {
                first += 256 + (k * 389) % 1800;
            }
            if (index == 40) {
                first -= 256 + (39 * 389) % 1800;  // overlaps the previous buffer
            }
            std::int64_t stamp =
                first * kSecond_ns / kAudioRate + ((index * 31) % 31 - 15) * 1'000'000;
            bool inHole = first > 60000 && first < 69600;
            return {first, inHole ? 0 : chunk, stamp};
        };
        list.push_back(s);
    }
    {
        // Audio that starts half a second late: the first segments carry silence.
        Scenario s{.name = "audio_starts_late"};
        s.audioBuffer = [](int index) -> std::tuple<std::int64_t, int, std::int64_t> {
            auto [first, count, stamp] = steadyAudio(index, kAudioRate);
            return {first, first < kAudioRate / 2 ? 0 : count, stamp};
        };
        list.push_back(s);
    }
    return list;
}

INSTANTIATE_TEST_SUITE_P(FFmpegWriterFeeds, StreamShape, testing::ValuesIn(scenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FFmpegHLSSegmentEncoder, ColoursAreConvertedAndTaggedAsBT709) {
    Writer writer = makeWriter(smallSettings(64, 64));
    ASSERT_TRUE(writer.encoder->start(0));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(waitUntil([&] { return writer.encoder->isReadyForVideo(); }));
        ASSERT_TRUE(writer.encoder->appendVideo(solidFrame(64, 64, 0, 0, 255), nominalTime(i, 30)));
    }
    writer.encoder->finish();
    auto media = writer.out->media();
    ASSERT_FALSE(media.empty());
    Probe p = probe({writer.out->initialization(), media.front()}, true);
    ASSERT_EQ(p.tracks.size(), 2u);
    // Pure red in BT.709 limited range is Y 63, U 102, V 240 (BT.601 would give Y 81, U 90).
    EXPECT_NEAR(p.centreY, 63, 3);
    EXPECT_NEAR(p.centreU, 102, 3);
    EXPECT_NEAR(p.centreV, 240, 3);
}

TEST(FFmpegHLSSegmentEncoder, AWindowOfTheStoreThroughItsPlaylistPlaysThrough) {
    auto store = std::make_shared<LiveHLSStore>();
    store->reset();
    Writer writer = makeWriter(smallSettings(), [store](ByteBuffer data, SegmentType type) {
        if (type == SegmentType::initialization) {
            store->addInitialization(data);
        } else {
            store->addSegment(data);
        }
    });
    ASSERT_TRUE(writer.encoder->start(0));
    feed(*writer.encoder, Scenario{.name = "window", .seconds = 3});
    auto mediaCount = static_cast<std::int64_t>(writer.out->media().size());
    ASSERT_GE(mediaCount, 12);

    ByteBuffer playlist = store->playlist();
    ASSERT_TRUE(playlist);
    std::istringstream lines{std::string(asText(*playlist))};
    std::vector<ByteBuffer> listed;
    ByteBuffer init;
    for (std::string line; std::getline(lines, line);) {
        if (line == "#EXT-X-MAP:URI=\"init.mp4\"") {
            init = store->initData();
        } else if (line.rfind("segment", 0) == 0) {
            listed.push_back(store->segment(std::stoll(line.substr(7))));
            ASSERT_TRUE(listed.back()) << line;
        }
    }
    ASSERT_TRUE(init);
    ASSERT_EQ(listed.size(), 8u);

    // A player joining live: the initialization segment, then the window in order.
    std::vector<const Bytes*> parts{init.get()};
    for (const auto& segment : listed) {
        parts.push_back(segment.get());
    }
    Probe p = probe(parts, true);
    ASSERT_EQ(p.error, "");
    auto video = p.of(true);
    auto audio = p.of(false);
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(video.front().key);
    EXPECT_EQ(p.decodedVideoFrames, static_cast<int>(video.size()));
    EXPECT_EQ(p.decodedAudioFrames, static_cast<int>(audio.size()));
    EXPECT_EQ(p.damagedFrames, 0);
    // Times rise without a gap beyond one frame (video) or one AAC frame (audio).
    for (std::size_t k = 1; k < video.size(); ++k) {
        EXPECT_GT(video[k].pts, video[k - 1].pts);
        EXPECT_LE(video[k].pts - video[k - 1].pts, 1.0 / 30 + 1e-6);
    }
    for (std::size_t k = 1; k < audio.size(); ++k) {
        EXPECT_NEAR(audio[k].pts - audio[k - 1].pts, 1024.0 / 48000, 1e-6);
    }
    // The window is the newest 8 segments, lasting about 8 x 0.25 s up to the end.
    std::string error;
    auto tracks = readTracks(*init, error);
    auto first = readFragments(*listed.front(), tracks, error);
    auto last = readFragments(*listed.back(), tracks, error);
    ASSERT_EQ(error, "");
    const std::uint32_t videoID = tracks.begin()->second.video ? tracks.begin()->first : 2;
    double end = last[videoID].start + last[videoID].duration;
    EXPECT_NEAR(end - first[videoID].start, 2.0, 0.04);
    EXPECT_NEAR(end, 3.0, 0.04);
}

}  // namespace
}  // namespace skylark::test
