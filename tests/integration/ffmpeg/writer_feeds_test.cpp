// The encoder behind the writer, fed in many ways, read back and decoded as a player would.

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cmath>
#include <functional>
#include <mutex>

#include "media_reader.hpp"
#include "platform/ffmpeg/hls_segment_encoder.hpp"

namespace skylark::test {
namespace {

using ffmpeg::HLSSegmentEncoder;

// One way of feeding: which frames and audio buffers, stamped when.
struct Feed {
    const char* name;
    int width = 320, height = 180;
    double fps = 30;
    double seconds = 3;
    // The time of frame `index` given its nominal one, or -1 to leave it out.
    std::function<std::int64_t(int, std::int64_t)> frameTime = nullptr;
    std::function<std::pair<int, int>(int)> frameSize = nullptr;  // the configured one if empty
    bool withAudio = true;
    int audioRate = 48000, audioChannels = 2;
    // Buffer `index` as (first sample, count, stamp); count 0 leaves it out. 10 ms if empty.
    std::function<std::tuple<std::int64_t, int, std::int64_t>(int)> audioBuffer = nullptr;
    int refusedFrames = 0;  // frames not later than the one before
    bool regular = true;
};

void PrintTo(const Feed& f, std::ostream* os) {
    *os << f.name;
}

std::int64_t nominal(int index, double fps) {
    return std::llround(index * kSecond_ns / fps);
}

std::tuple<std::int64_t, int, std::int64_t> steadyAudio(int index, int rate) {
    const std::int64_t first = std::int64_t(index) * (rate / 100);
    return {first, rate / 100, first * kSecond_ns / rate};
}

// Collects the segments; the encoder's thread delivers them.
struct Output {
    std::mutex lock;
    ByteBuffer init;
    std::vector<ByteBuffer> media;
    std::vector<const Bytes*> mediaParts() {
        std::lock_guard guard(lock);
        std::vector<const Bytes*> parts;
        for (const auto& m : media) {
            parts.push_back(m.get());
        }
        return parts;
    }
};

std::unique_ptr<HLSSegmentEncoder> makeEncoder(int width, int height, Output& out) {
    av_log_set_level(AV_LOG_FATAL);
    ffmpeg::EncoderSettings settings;
    settings.width = width;
    settings.height = height;
    auto created = HLSSegmentEncoder::create(settings, [&out](ByteBuffer data, SegmentKind kind) {
        std::lock_guard guard(out.lock);
        (kind == SegmentKind::initialization ? out.init : out.media.emplace_back()) = data;
    });
    EXPECT_TRUE(created.encoder) << created.error;
    return std::move(created.encoder);
}

bool waitUntil(const std::function<bool()>& ready) {
    for (int i = 0; i < 20000 && !ready(); ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return ready();
}

class WriterFeeds : public testing::TestWithParam<Feed> {};

// In time order, waiting for readiness so nothing is dropped for back-pressure; then finished.
TEST_P(WriterFeeds, EverySegmentPlaysOnItsOwnAndTheStreamIsContinuous) {
    const Feed& f = GetParam();
    Output out;
    auto encoder = makeEncoder(f.width, f.height, out);
    const std::int64_t start = 5 * kSecond_ns;
    ASSERT_TRUE(encoder->start(start));
    const int frames = static_cast<int>(f.seconds * f.fps);
    int accepted = 0, audioIndex = 0;
    for (int i = 0; i < frames; ++i) {
        const std::int64_t due = nominal(i, f.fps);
        while (f.withAudio) {
            auto [first, count, stamp] =
                f.audioBuffer ? f.audioBuffer(audioIndex) : steadyAudio(audioIndex, f.audioRate);
            if (first * kSecond_ns / f.audioRate > due) {
                break;
            }
            ++audioIndex;
            if (count > 0) {
                ASSERT_TRUE(waitUntil([&] { return encoder->isReadyForAudio(); }));
                EXPECT_TRUE(encoder->appendAudio(tone(first, count, f.audioRate, f.audioChannels),
                                                 start + stamp));
            }
        }
        const std::int64_t time = f.frameTime ? f.frameTime(i, due) : due;
        if (time >= 0) {
            auto [width, height] = f.frameSize ? f.frameSize(i) : std::pair{f.width, f.height};
            ASSERT_TRUE(waitUntil([&] { return encoder->isReadyForVideo(); }));
            accepted += encoder->appendVideo(patternFrame(width, height, i), start + time);
        }
    }
    encoder->finish();
    EXPECT_EQ(encoder->status(), WriterStatus::completed);
    EXPECT_EQ(encoder->error(), "");
    ASSERT_TRUE(out.init);
    EXPECT_EQ(expectPlayable(*out.init, out.mediaParts(), f.width, f.height, f.regular),
              accepted - f.refusedFrames);
}

std::vector<Feed> feeds() {
    std::vector<Feed> list{
        {.name = "steady_30fps"},
        {.name = "steady_24fps", .fps = 24},
        {.name = "steady_15fps", .fps = 15},
        {.name = "tiny_picture", .width = 2, .height = 2, .seconds = 1},
        {.name = "full_hd", .width = 1920, .height = 1080, .seconds = 1},
        {.name = "no_audio_at_all", .withAudio = false},
        {.name = "mono_44100_audio", .audioRate = 44100, .audioChannels = 1},
    };
    list.push_back({.name = "jittery_frame_times", .frameTime = [](int i, std::int64_t t) {
                        return i == 0 ? t : t + ((i * 7919) % 11 - 5) * 1'000'000;
                    }});
    list.push_back({.name = "pause_in_frames",  // one long segment, then the stream goes on
                    .frameTime = [](int i, std::int64_t t) { return i > 30 && i < 48 ? -1 : t; },
                    .regular = false});
    list.push_back({.name = "frames_out_of_order",  // a repeated time and one going back
                    .frameTime =
                        [](int i, std::int64_t t) {
                            return i == 10 ? nominal(9, 30) : i == 20 ? nominal(18, 30) : t;
                        },
                    .refusedFrames = 2});
    list.push_back({.name = "frames_of_other_sizes", .frameSize = [](int i) {
                        return i % 3 == 0 ? std::pair{640, 360} : std::pair{100 + i % 2 * 2, 50};
                    }});
    // Uneven sizes, stamps off by up to 15 ms, a 200 ms hole, a buffer repeating the one before.
    list.push_back({.name = "uneven_audio", .audioBuffer = [](int index) {
                        auto size = [](int k) { return 256 + (k * 389) % 1800; };
                        std::int64_t first = 0;
                        for (int k = 0; k < index; ++k) {
                            first += size(k);
                        }
                        first -= index == 40 ? size(39) : 0;
                        const bool hole = first > 60000 && first < 69600;
                        return std::tuple<std::int64_t, int, std::int64_t>{
                            first, hole ? 0 : size(index),
                            first * kSecond_ns / 48000 + ((index * 31) % 31 - 15) * 1'000'000};
                    }});
    list.push_back({.name = "audio_starts_late", .audioBuffer = [](int index) {
                        auto [first, count, stamp] = steadyAudio(index, 48000);
                        return std::tuple{first, first < 24000 ? 0 : count, stamp};
                    }});
    return list;
}

INSTANTIATE_TEST_SUITE_P(Feeds, WriterFeeds, testing::ValuesIn(feeds()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skylark::test
