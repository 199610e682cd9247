// The FFmpeg writer end to end: fed in many ways, read back and decoded as a player would;
// what it refuses; back-pressure, cancel and destruction with work pending.

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <functional>
#include <thread>

#include "media_reader.hpp"
#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"

namespace skylark::test {
namespace {

// Keeps the segments; can hold the writer's thread up in a media delivery.
struct Receiver : StreamWriterDelegate {
    void writerDidOutputSegment(ByteBuffer data, SegmentKind kind) override {
        std::unique_lock guard(lock);
        if (kind == SegmentKind::part) {  // fragments concatenate to the segment that follows
            growing.insert(growing.end(), data->begin(), data->end());
            audioAloneParts += init && probe({init.get(), data.get()}).video.empty();
            return;
        }
        if (kind == SegmentKind::media) {
            EXPECT_TRUE(*data == std::exchange(growing, {})) << "segment " << media.size();
            held = closed;
            changed.wait(guard, [&] { return !closed; });
        }
        lateDeliveries += afterCancel;
        (kind == SegmentKind::initialization ? init : media.emplace_back()) = std::move(data);
    }
    bool is(const bool& flag) {
        std::lock_guard guard(lock);
        return flag;
    }
    void set(bool& flag, bool value) {
        std::lock_guard guard(lock);
        flag = value;
        changed.notify_all();
    }
    // The initialization segment, then every media segment as delivered.
    std::vector<const Bytes*> all() {
        std::lock_guard guard(lock);
        std::vector<const Bytes*> parts{init.get()};
        for (const auto& segment : media) {
            parts.push_back(segment.get());
        }
        return parts;
    }
    // Every media segment as delivered, once the writer is done.
    int expectPlayable(int width, int height, bool regular) {
        const auto parts = all();
        return test::expectPlayable(*parts[0], {parts.begin() + 1, parts.end()}, width, height,
                                    regular);
    }
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false, held = false, afterCancel = false;
    int lateDeliveries = 0, audioAloneParts = 0;
    ByteBuffer init;
    std::vector<ByteBuffer> media;
    Bytes growing;
};

// What a subscriber is handed: each frame's access unit, in order, a key frame opening with its
// parameter sets, and the audio as appended.
struct Units : EncodedMediaSubscriber {
    void writerDidEncode(const EncodedMedia& m) override {
        std::lock_guard guard(lock);
        if (m.kind == MediaKind::audio) {
            audio += m.audio.samples != nullptr;
            return;
        }
        // Annex B: a start code, then an SPS (NAL type 7) on key frames.
        const Bytes& b = *m.data;
        const bool startCode = b.size() > 4 && b[0] == 0 && b[1] == 0 && (b[2] == 1 || b[3] == 1);
        const int nal = startCode ? b[b[2] == 1 ? 3 : 4] & 0x1f : -1;
        wellFormed &= startCode && (m.keyFrame ? nal == 7 : nal != 7) && m.time_ns > lastTime;
        lastTime = m.time_ns;
        video.push_back(m.keyFrame);
    }
    void expectWhatWasMuxed(int frames, bool withAudio) {
        std::lock_guard guard(lock);
        EXPECT_EQ(int(video.size()), frames);
        EXPECT_TRUE(wellFormed);
        EXPECT_TRUE(!video.empty() && video[0]) << "the first unit is a key frame";
        EXPECT_EQ(audio > 0, withAudio);
    }
    std::mutex lock;
    std::vector<bool> video;
    int audio = 0;
    bool wellFormed = true;
    std::int64_t lastTime = -1;
};

bool waitFor(const std::function<bool()>& done) {
    for (int k = 0; k < 10000 && !done(); ++k) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return done();
}

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
    int audioAloneParts = 0;  // at least: audio that waited for a frame goes out without it
};

std::int64_t nominal(int index, double fps) {
    return std::llround(index * kSecond_ns / fps);
}

std::tuple<std::int64_t, int, std::int64_t> steadyAudio(int index, int rate) {
    const std::int64_t first = std::int64_t(index) * (rate / 100);
    return {first, rate / 100, first * kSecond_ns / rate};
}

std::shared_ptr<FFmpegStreamWriter> makeWriter(std::shared_ptr<Receiver> receiver, int width = 160,
                                               int height = 90) {
    return std::static_pointer_cast<FFmpegStreamWriter>(std::get<std::shared_ptr<StreamWriter>>(
        FFmpegStreamWriter::create({.width = width, .height = height}, receiver)));
}

class WriterFeeds : public testing::TestWithParam<Feed> {};

// In time order, waiting for readiness so nothing is dropped for back-pressure; then finished.
TEST_P(WriterFeeds, EverySegmentPlaysOnItsOwnAndTheStreamIsContinuous) {
    const Feed& f = GetParam();
    auto out = std::make_shared<Receiver>();
    auto encoder = makeWriter(out, f.width, f.height);
    auto units = std::make_shared<Units>();
    encoder->subscribe(units);
    const std::int64_t start = 5 * kSecond_ns;
    ASSERT_TRUE(encoder->start(start));
    int accepted = 0, audioIndex = 0;
    for (int i = 0; i < f.seconds * f.fps; ++i) {
        const std::int64_t due = nominal(i, f.fps);
        while (f.withAudio) {
            auto [first, count, stamp] =
                f.audioBuffer ? f.audioBuffer(audioIndex) : steadyAudio(audioIndex, f.audioRate);
            if (first * kSecond_ns / f.audioRate > due) {
                break;
            }
            ++audioIndex;
            if (count > 0) {
                ASSERT_TRUE(waitFor([&] { return encoder->isReadyFor(MediaKind::audio); }));
                AudioBuffer sound = tone(first, count, f.audioRate, f.audioChannels);
                sound.time_ns = start + stamp;
                EXPECT_TRUE(encoder->appendAudio(sound));
            }
        }
        const std::int64_t time = f.frameTime ? f.frameTime(i, due) : due;
        if (time >= 0) {
            auto [width, height] = f.frameSize ? f.frameSize(i) : std::pair{f.width, f.height};
            ASSERT_TRUE(waitFor([&] { return encoder->isReadyFor(MediaKind::video); }));
            VideoFrame frame = patternFrame(width, height, i);
            frame.time_ns = start + time;
            accepted += encoder->appendVideo(frame);
        }
    }
    encoder->finish();
    EXPECT_EQ(encoder->status(), WriterStatus::completed);
    EXPECT_FALSE(encoder->failure());
    const int frames = out->expectPlayable(f.width, f.height, f.regular);
    EXPECT_EQ(frames, accepted - f.refusedFrames);
    EXPECT_GE(out->audioAloneParts, f.audioAloneParts);
    units->expectWhatWasMuxed(frames, f.withAudio);
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
    // As captured: audio 60 ms behind; it must not wait at each boundary nor for a late frame.
    list.push_back({.name = "audio_behind_video",
                    .frameTime = [](int i, std::int64_t t) { return i > 39 && i < 43 ? -1 : t; },
                    .audioBuffer =
                        [](int index) {
                            auto [first, count, stamp] = steadyAudio(index, 48000);
                            return std::tuple{first + 2880, count, stamp};
                        },
                    .audioAloneParts = 12});
    list.push_back({.name = "audio_starts_late", .audioBuffer = [](int index) {
                        auto [first, count, stamp] = steadyAudio(index, 48000);
                        return std::tuple{first, first < 24000 ? 0 : count, stamp};
                    }});
    return list;
}

INSTANTIATE_TEST_SUITE_P(Feeds, WriterFeeds, testing::ValuesIn(feeds()),
                         [](const auto& info) { return std::string(info.param.name); });

const std::int64_t kStart = 123456 * kSecond_ns;  // a monotonic clock

// Appends frame `i` and its 33 ms of audio without waiting; whether the frame was taken. While
// the writer is stalled, it takes exactly what it said it was ready for.
bool feed(StreamWriter& writer, int i, bool stalled = false) {
    VideoFrame frame = patternFrame(160, 90, i);
    AudioBuffer sound = tone(i * 1600, 1600);
    frame.time_ns = sound.time_ns = kStart + i * kSecond_ns / 30;
    if (writer.isReadyFor(MediaKind::audio)) {
        writer.appendAudio(sound);
    }
    const bool ready = writer.isReadyFor(MediaKind::video);
    const bool taken = writer.appendVideo(frame);
    EXPECT_TRUE(!stalled || taken == ready) << "frame " << i;
    return taken;
}

// A still screen: the key frames that open the segments take the bits, not the predicted frames
// of the unchanged picture (once as many as the key frames when each bought detail back), so no
// segment opens coarser than the last ended.
TEST(FFmpegStreamWriter, OnAStillScreenTheKeyFramesTakeTheBits) {
    auto out = std::make_shared<Receiver>();
    auto writer = makeWriter(out, 640, 360);
    ASSERT_TRUE(writer->start(kStart));
    VideoFrame still = patternFrame(640, 360, 0);
    for (int i = 0; i < 90; ++i) {
        ASSERT_TRUE(waitFor([&] { return writer->isReadyFor(MediaKind::video); }));
        still.time_ns = kStart + nominal(i, 30);
        ASSERT_TRUE(writer->appendVideo(still));
    }
    writer->finish();
    const Probe p = probe(out->all());
    int keyBytes = 0, otherBytes = 0;
    for (std::size_t i = 30; i < p.videoBytes.size(); ++i) {  // once the rate control has settled
        (p.key[i] ? keyBytes : otherBytes) += p.videoBytes[i];
    }
    EXPECT_LT(otherBytes, keyBytes / 3)
        << keyBytes << " in key frames, " << otherBytes << " in others";
}

TEST(FFmpegStreamWriter, SettingsItCannotEncodeAreRefusedWithAReason) {
    const std::pair<WriterSettings, const char*> cases[] = {
        {{.width = 1921, .height = 1080}, "1921x1080"},
        {{.width = 1920, .height = 1080, .audio_rate_hz = 12345}, "AAC encoder"},
        {{.width = 1920, .height = 1080, .segment_interval_ns = 0}, "intervals"},
    };
    for (const auto& [settings, reason] : cases) {
        const auto made = makeFFmpegWriterFactory()(settings, {});
        ASSERT_TRUE(std::holds_alternative<Error>(made)) << reason;
        EXPECT_NE(std::get<Error>(made).localizedDescription().find(reason), std::string::npos)
            << std::get<Error>(made).localizedDescription();
    }
}

TEST(FFmpegStreamWriter, AStalledWriterRefusesMediaInsteadOfQueueingItThenGoesOn) {
    auto receiver = std::make_shared<Receiver>();
    receiver->closed = true;
    auto writer = makeWriter(receiver);
    EXPECT_FALSE(feed(*writer, 0)) << "not started";
    ASSERT_TRUE(writer->start(kStart));
    int i = 0;
    auto stuck = [&] { return receiver->is(receiver->held); };
    while (!stuck() && i < 30) {  // until its thread is stuck delivering a segment
        waitFor([&] { return writer->isReadyFor(MediaKind::video) || stuck(); });
        feed(*writer, i++);
    }
    ASSERT_TRUE(waitFor(stuck));
    int taken = 0;
    for (int end = i + 60; i < end; ++i) {  // two seconds of media, never waiting
        taken += feed(*writer, i, true);
    }
    EXPECT_LE(taken, 3);
    EXPECT_EQ(writer->status(), WriterStatus::writing) << "back-pressure is not a failure";
    receiver->set(receiver->closed, false);
    for (int end = i + 30; i < end; ++i) {
        EXPECT_TRUE(waitFor([&] { return writer->isReadyFor(MediaKind::video); }));
        EXPECT_TRUE(feed(*writer, i));
    }
    writer->cancel();
    receiver->expectPlayable(160, 90, false);
}

TEST(FFmpegStreamWriter, NothingIsDeliveredOnceCancelHasReturnedNorAfterItsEnd) {
    auto receiver = std::make_shared<Receiver>();
    auto writer = makeWriter(receiver);
    ASSERT_TRUE(writer->start(kStart));
    for (int i = 0; i < 40; ++i) {  // a full queue when cancel comes
        feed(*writer, i);
    }
    writer->cancel();
    receiver->set(receiver->afterCancel, true);
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_FALSE(writer->failure());
    EXPECT_FALSE(writer->start(kStart)) << "never restarted";
    writer.reset();  // joins its thread
    std::lock_guard guard(receiver->lock);
    EXPECT_EQ(receiver->lateDeliveries, 0);
}

}  // namespace
}  // namespace skylark::test
