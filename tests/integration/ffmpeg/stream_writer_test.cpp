// The FFmpeg writer through the caster's interface: what it refuses, back-pressure, cancel,
// failure and destruction with work pending.

#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <thread>

#include "media_reader.hpp"

namespace skylark::test {
namespace {

// Keeps the segments; can hold the writer's thread up in a media delivery, or throw there.
struct Receiver : StreamWriterDelegate {
    void writerDidOutputSegment(ByteBuffer data, SegmentKind kind) override {
        std::unique_lock guard(lock);
        if (kind == SegmentKind::media) {
            held = closed;
            changed.wait(guard, [&] { return !closed; });
            if (throwing) {
                throw std::runtime_error("the store is gone");
            }
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
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false, held = false, throwing = false, afterCancel = false;
    int lateDeliveries = 0;
    ByteBuffer init;
    std::vector<ByteBuffer> media;
};

const MediaTime kStart = MediaTime::make(123456 * kSecond_ns, 1'000'000'000);  // a monotonic clock

bool waitFor(const std::function<bool()>& done) {
    for (int k = 0; k < 5000 && !done(); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

std::shared_ptr<StreamWriter> makeWriter(std::shared_ptr<Receiver> receiver) {
    auto made = makeFFmpegWriterFactory()({.width = 160, .height = 90}, receiver);
    return std::get<std::shared_ptr<StreamWriter>>(made);
}

// Appends frame `i` and its 33 ms of audio without waiting; whether the frame was taken. While
// the writer is stalled, it takes exactly what it said it was ready for.
bool feed(StreamWriter& writer, int i, bool stalled = false) {
    VideoFrame frame = patternFrame(160, 90, i);
    AudioBuffer sound = tone(i * 1600, 1600);
    frame.time = sound.time = MediaTime::make(kStart.value + i * kSecond_ns / 30, kStart.timescale);
    if (writer.isReadyFor(MediaKind::audio)) {
        writer.appendAudio(sound);
    }
    const bool ready = writer.isReadyFor(MediaKind::video);
    const bool taken = writer.appendVideo(frame);
    EXPECT_TRUE(!stalled || taken == ready) << "frame " << i;
    return taken;
}

TEST(FFmpegStreamWriter, SettingsItCannotEncodeAreRefusedWithAReason) {
    const std::pair<WriterSettings, const char*> cases[] = {
        {{.width = 1921, .height = 1080}, "1921x1080"},
        {{.width = 1920, .height = 0}, "1920x0"},
        {{.width = 20000, .height = 1080}, "20000x1080"},
        {{.width = 1920, .height = 1080, .video_bitrate_bps = 0}, "positive bit rates"},
        {{.width = 1920, .height = 1080, .audio_rate_hz = 12345}, "AAC encoder"},
        {{.width = 1920, .height = 1080, .audio_channels = 6}, "6 channels"},
        {{.width = 1920, .height = 1080, .segment_interval = MediaTime::invalid()}, "intervals"},
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
    while (!receiver->is(receiver->held) && i < 30) {  // until its thread is stuck delivering
        waitFor(
            [&] { return writer->isReadyFor(MediaKind::video) || receiver->is(receiver->held); });
        feed(*writer, i++);
    }
    ASSERT_TRUE(waitFor([&] { return receiver->is(receiver->held); }));
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
    std::lock_guard guard(receiver->lock);
    std::vector<const Bytes*> media;
    for (const auto& segment : receiver->media) {
        media.push_back(segment.get());
    }
    expectPlayable(*receiver->init, media, 160, 90, false);
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
    EXPECT_FALSE(writer->isReadyFor(MediaKind::video));
    EXPECT_FALSE(writer->start(kStart)) << "never restarted";
    writer.reset();  // joins its thread
    EXPECT_EQ(receiver->is(receiver->lateDeliveries), 0);
}

TEST(FFmpegStreamWriter, AFailingReceiverFailsItAndCancelKeepsTheFailure) {
    auto receiver = std::make_shared<Receiver>();
    receiver->throwing = true;
    auto writer = makeWriter(receiver);
    ASSERT_TRUE(writer->start(kStart));
    auto writing = [&] { return writer->status() == WriterStatus::writing; };
    for (int i = 0; i < 60 && writing(); ++i) {
        waitFor([&] { return writer->isReadyFor(MediaKind::video) || !writing(); });
        feed(*writer, i);
    }
    ASSERT_TRUE(waitFor([&] { return !writing(); }));
    EXPECT_EQ(writer->status(), WriterStatus::failed);
    EXPECT_EQ(writer->failure().value().localizedDescription(),
              "The streaming encoder stopped: the store is gone");
    writer->cancel();
    EXPECT_EQ(writer->status(), WriterStatus::failed);
}

}  // namespace
}  // namespace skylark::test
