// The FFmpeg writer through the caster's interface: what it refuses, back-pressure, cancel,
// failure and destruction.

#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <thread>

#include "media_reader.hpp"

namespace skylark::test {
namespace {

// Receives segments; media deliveries can be held up at a gate, or made to throw.
class Receiver : public StreamWriterDelegate {
  public:
    void writerDidOutputSegment(ByteBuffer data, SegmentKind kind) override {
        std::unique_lock guard(lock_);
        if (kind == SegmentKind::media && (closed || throwing)) {
            held = true;
            changed_.notify_all();
            changed_.wait(guard, [&] { return !closed; });
            held = false;
            if (throwing) {
                throw std::runtime_error("the store is gone");
            }
        }
        ++delivered;
        lateDeliveries += afterCancel;
        (kind == SegmentKind::initialization ? init : media.emplace_back()) = std::move(data);
        if (onMedia && kind == SegmentKind::media) {
            guard.unlock();
            onMedia();
        }
    }
    void open() {
        std::lock_guard guard(lock_);
        closed = false;
        changed_.notify_all();
    }
    bool isHeld() {
        std::lock_guard guard(lock_);
        return held;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool closed = false, held = false, throwing = false, afterCancel = false;
    int delivered = 0, lateDeliveries = 0;
    ByteBuffer init;
    std::vector<ByteBuffer> media;
    std::function<void()> onMedia;
};

MediaTime at_ns(std::int64_t ns) {
    return MediaTime::make(123456 * kSecond_ns + ns, 1'000'000'000);  // CLOCK_MONOTONIC-like
}

std::shared_ptr<StreamWriter> makeWriter(std::shared_ptr<Receiver> receiver, int width = 160,
                                         int height = 90) {
    StreamWriterResult made =
        makeFFmpegWriterFactory()({.width = width, .height = height}, receiver);
    EXPECT_TRUE(std::holds_alternative<std::shared_ptr<StreamWriter>>(made));
    return std::get<std::shared_ptr<StreamWriter>>(made);
}

// Appends frame `i` and its 33 ms of audio, without waiting; whether the frame was taken. While
// the writer is stalled, what it takes is exactly what it said it was ready for.
bool feed(StreamWriter& writer, int i, bool stalled = false) {
    VideoFrame frame = patternFrame(160, 90, i);
    AudioBuffer sound = tone(i * 1600, 1600);
    frame.time = sound.time = at_ns(i * kSecond_ns / 30);
    if (writer.isReadyFor(MediaKind::audio)) {
        writer.appendAudio(sound);
    }
    const bool ready = writer.isReadyFor(MediaKind::video);
    const bool taken = writer.appendVideo(frame);
    EXPECT_TRUE(!stalled || taken == ready) << "frame " << i;
    return taken;
}

bool waitFor(const std::function<bool()>& done) {
    for (int k = 0; k < 5000 && !done(); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

TEST(FFmpegStreamWriter, SettingsItCannotEncodeAreRefusedWithAReason) {
    const std::pair<WriterSettings, const char*> cases[] = {
        {{.width = 1921, .height = 1080}, "1921x1080"},
        {{.width = 1920, .height = 0}, "1920x0"},
        {{.width = 20000, .height = 1080}, "20000x1080"},
        {{.width = 1920, .height = 1080, .video_bitrate_bps = 0}, "positive bit rates"},
        {{.width = 1920, .height = 1080, .audio_channels = 6}, "6 channels"},
        {{.width = 1920, .height = 1080, .audio_rate_hz = 12345}, "AAC encoder"},
        {{.width = 1920, .height = 1080, .segment_interval = MediaTime::invalid()}, "intervals"},
    };
    for (const auto& [settings, reason] : cases) {
        StreamWriterResult made = makeFFmpegWriterFactory()(settings, {});
        ASSERT_TRUE(std::holds_alternative<Error>(made)) << reason;
        EXPECT_NE(std::get<Error>(made).localizedDescription().find(reason), std::string::npos)
            << std::get<Error>(made).localizedDescription();
    }
}

TEST(FFmpegStreamWriter, AStalledWriterRefusesMediaInsteadOfQueueingItThenGoesOn) {
    auto receiver = std::make_shared<Receiver>();
    receiver->closed = true;
    auto writer = makeWriter(receiver);
    EXPECT_FALSE(writer->appendVideo(patternFrame(160, 90, 0))) << "not started";
    ASSERT_TRUE(writer->start(at_ns(0)));
    int i = 0;
    while (!receiver->isHeld() && i < 30) {  // until the thread is stuck delivering a segment
        waitFor([&] { return writer->isReadyFor(MediaKind::video) || receiver->isHeld(); });
        feed(*writer, i++);
    }
    ASSERT_TRUE(waitFor([&] { return receiver->isHeld(); }));
    int taken = 0;
    for (int end = i + 60; i < end; ++i) {  // two seconds of media, never waiting
        taken += feed(*writer, i, true);
    }
    EXPECT_LE(taken, 3);
    EXPECT_FALSE(writer->isReadyFor(MediaKind::video));
    EXPECT_EQ(writer->status(), WriterStatus::writing) << "back-pressure is not a failure";
    receiver->open();
    for (int end = i + 30; i < end; ++i) {
        EXPECT_TRUE(waitFor([&] { return writer->isReadyFor(MediaKind::video); }));
        EXPECT_TRUE(feed(*writer, i));
    }
    writer->cancel();
    std::lock_guard guard(receiver->lock_);
    std::vector<const Bytes*> media;
    for (const auto& m : receiver->media) {
        media.push_back(m.get());
    }
    expectPlayable(*receiver->init, media, 160, 90, false);
}

TEST(FFmpegStreamWriter, NothingIsDeliveredOnceCancelHasReturned) {
    auto receiver = std::make_shared<Receiver>();
    auto writer = makeWriter(receiver);
    ASSERT_TRUE(writer->start(at_ns(0)));
    for (int i = 0; i < 40; ++i) {  // a full queue when cancel comes
        feed(*writer, i);
    }
    writer->cancel();
    {
        std::lock_guard guard(receiver->lock_);
        receiver->afterCancel = true;
    }
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_FALSE(writer->failure());
    EXPECT_FALSE(writer->isReadyFor(MediaKind::video));
    EXPECT_FALSE(writer->start(at_ns(0))) << "never restarted";
    writer.reset();  // joins the thread
    std::lock_guard guard(receiver->lock_);
    EXPECT_EQ(receiver->lateDeliveries, 0);
}

TEST(FFmpegStreamWriter, AFailingReceiverFailsItAndCancelKeepsTheFailure) {
    auto receiver = std::make_shared<Receiver>();
    receiver->throwing = true;
    auto writer = makeWriter(receiver);
    ASSERT_TRUE(writer->start(at_ns(0)));
    for (int i = 0; i < 60 && writer->status() == WriterStatus::writing; ++i) {
        waitFor([&] {
            return writer->isReadyFor(MediaKind::video) || writer->status() != WriterStatus::writing;
        });
        feed(*writer, i);
    }
    waitFor([&] { return writer->status() != WriterStatus::writing; });
    ASSERT_EQ(writer->status(), WriterStatus::failed);
    ASSERT_TRUE(writer->failure());
    EXPECT_EQ(writer->failure()->localizedDescription(),
              "The streaming encoder stopped: the store is gone");
    writer->cancel();
    EXPECT_EQ(writer->status(), WriterStatus::failed);
}

TEST(FFmpegStreamWriter, DroppedFromItsOwnDeliveryItEndsCleanly) {
    auto receiver = std::make_shared<Receiver>();
    std::shared_ptr<StreamWriter> writer = makeWriter(receiver);
    std::mutex ownerLock;
    std::atomic<bool> dropped{false};
    receiver->onMedia = [&] {
        std::shared_ptr<StreamWriter> last;
        std::lock_guard guard(ownerLock);
        last.swap(writer);
        dropped = last != nullptr;
    };  // `last` is the final reference: destroyed here, on the writer's own thread
    ASSERT_TRUE(writer->start(at_ns(0)));
    for (int i = 0; i < 60 && !dropped; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard guard(ownerLock);
        if (writer) {
            feed(*writer, i);
        }
    }
    EXPECT_TRUE(waitFor([&] { return dropped.load(); }));
}

}  // namespace
}  // namespace skylark::test
