// The writer's thread, queue and lifetime: back-pressure, cancel, destruction, failures and
// refused input.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/ffmpeg/hls_segment_encoder.hpp"
#include "stream_checks.hpp"
#include "writer_harness.hpp"

namespace skylark::test {
namespace {

using ffmpeg::EncoderSettings;
using ffmpeg::HLSSegmentEncoder;
using ffmpeg::SegmentType;
using Status = HLSSegmentEncoder::Status;

EncoderSettings settingsOf(int width = 160, int height = 90) {
    av_log_set_level(AV_LOG_FATAL);
    EncoderSettings settings;
    settings.width = width;
    settings.height = height;
    return settings;
}

std::int64_t frameTime(int index) {
    return index * kSecond_ns / 30;
}

// A gate the segment handler can be made to wait at, to hold the writer's thread up.
class Gate {
  public:
    void close() {
        std::lock_guard guard(lock_);
        open_ = false;
    }
    void open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock guard(lock_);
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
        waiting_ = false;
    }
    bool isHeld() {
        std::lock_guard guard(lock_);
        return waiting_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = true;
    bool waiting_ = false;
};

TEST(FFmpegWriterBackPressure, AStalledWriterRefusesMediaInsteadOfQueueingIt) {
    SegmentCollector out;
    Gate gate;
    gate.close();
    auto created = HLSSegmentEncoder::create(settingsOf(), [&](ByteBuffer data, SegmentType type) {
        out.add(data, type);
        if (type == SegmentType::separable) {
            gate.pass();  // the writer's thread stalls here until the test opens the gate
        }
    });
    ASSERT_TRUE(created.encoder) << created.error;
    HLSSegmentEncoder& writer = *created.encoder;
    ASSERT_TRUE(writer.start(0));

    // Media at the pace the writer takes it, until its thread is stuck delivering the first
    // segment; then two seconds of media as fast as it can be appended, never waiting.
    int index = 0;
    while (!gate.isHeld() && index < 30) {
        ASSERT_TRUE(waitUntil([&] { return writer.isReadyForVideo() || gate.isHeld(); }));
        writer.appendVideo(patternFrame(160, 90, index), frameTime(index));
        ++index;
    }
    ASSERT_TRUE(gate.isHeld());
    int acceptedFrames = 0, acceptedAudio = 0, refusedFrames = 0;
    for (int i = index; i < index + 60; ++i) {
        for (int k = 0; k < 3; ++k) {
            std::int64_t first = (i * 3 + k) * 480;
            acceptedAudio +=
                writer.appendAudio(toneSamples(first, 480), first * kSecond_ns / 48000);
        }
        bool ready = writer.isReadyForVideo();
        bool accepted = writer.appendVideo(patternFrame(160, 90, i), frameTime(i));
        EXPECT_EQ(accepted, ready) << "frame " << i;
        acceptedFrames += accepted;
        refusedFrames += !accepted;
    }
    index += 60;
    const auto limit = EncoderSettings{}.maxQueuedVideoFrames;
    EXPECT_LE(acceptedFrames, static_cast<int>(limit));
    EXPECT_GE(refusedFrames, 60 - static_cast<int>(limit));
    EXPECT_FALSE(writer.isReadyForVideo());
    EXPECT_LE(acceptedAudio, static_cast<int>(EncoderSettings{}.maxQueuedAudioBuffers));
    EXPECT_FALSE(writer.isReadyForAudio());
    EXPECT_EQ(writer.status(), Status::writing) << "back-pressure is not a failure";

    // Once the thread moves again the queue drains and media is taken again; the frames that
    // were dropped leave a longer segment, and the stream stays playable.
    gate.open();
    ASSERT_TRUE(waitUntil([&] { return writer.isReadyForVideo(); }));
    for (int i = index; i < index + 30; ++i) {
        for (int k = 0; k < 3; ++k) {
            std::int64_t first = (i * 3 + k) * 480;
            ASSERT_TRUE(waitUntil([&] { return writer.isReadyForAudio(); }));
            writer.appendAudio(toneSamples(first, 480), first * kSecond_ns / 48000);
        }
        ASSERT_TRUE(waitUntil([&] { return writer.isReadyForVideo(); }));
        EXPECT_TRUE(writer.appendVideo(patternFrame(160, 90, i), frameTime(i)));
    }
    writer.finish();
    EXPECT_EQ(writer.status(), Status::completed);
    expectPlayableStream(out, 160, 90, false);
}

// Feeds frames and audio until `segments` media segments have come out.
void feedUntil(HLSSegmentEncoder& writer, const SegmentCollector& out, std::size_t segments,
               int& index) {
    while (out.media().size() < segments && index < 600) {
        ASSERT_TRUE(waitUntil([&] { return writer.isReadyForVideo(); }));
        for (int k = 0; k < 3; ++k) {
            std::int64_t first = (index * 3 + k) * 480;
            writer.appendAudio(toneSamples(first, 480), first * kSecond_ns / 48000);
        }
        writer.appendVideo(patternFrame(160, 90, index), frameTime(index));
        ++index;
    }
}

TEST(FFmpegWriterCancel, NothingIsDeliveredOnceCancelHasReturned) {
    SegmentCollector out;
    std::atomic<bool> cancelReturned{false};
    std::atomic<int> lateDeliveries{0};
    auto created = HLSSegmentEncoder::create(settingsOf(), [&](ByteBuffer data, SegmentType type) {
        if (cancelReturned) {
            ++lateDeliveries;
        }
        out.add(data, type);
        // A slow receiver, so cancel often meets a delivery under way.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ASSERT_TRUE(created.encoder);
    HLSSegmentEncoder& writer = *created.encoder;
    ASSERT_TRUE(writer.start(0));
    int index = 0;
    feedUntil(writer, out, 3, index);
    // Fill the queue so that work is pending when cancel comes.
    for (int k = 0; k < 3; ++k, ++index) {
        writer.appendVideo(patternFrame(160, 90, index), frameTime(index));
    }
    writer.cancel();
    cancelReturned = true;
    std::size_t delivered = out.segments().size();

    EXPECT_EQ(writer.status(), Status::cancelled);
    EXPECT_EQ(writer.error(), "");
    EXPECT_FALSE(writer.isReadyForVideo());
    EXPECT_FALSE(writer.isReadyForAudio());
    EXPECT_FALSE(writer.appendVideo(patternFrame(160, 90, index), frameTime(index)));
    EXPECT_FALSE(writer.start(0)) << "a writer is never restarted";
    created.encoder.reset();  // waits for the thread
    EXPECT_EQ(lateDeliveries, 0);
    EXPECT_EQ(out.segments().size(), delivered);
}

TEST(FFmpegWriterLifetime, DestroyingWithWorkPendingOrFromTheHandlerIsClean) {
    struct Case {
        const char* name;
        bool destroyInHandler;
    };
    for (Case c : {Case{"destroyed by its owner with a full queue", false},
                   Case{"destroyed from its own segment handler", true}}) {
        SCOPED_TRACE(c.name);
        SegmentCollector out;
        std::mutex ownerLock;
        std::unique_ptr<HLSSegmentEncoder> owner;
        std::atomic<bool> destroyed{false};
        auto created =
            HLSSegmentEncoder::create(settingsOf(), [&](ByteBuffer data, SegmentType type) {
                out.add(data, type);
                if (c.destroyInHandler && out.media().size() == 2) {
                    std::unique_ptr<HLSSegmentEncoder> doomed;
                    {
                        std::lock_guard guard(ownerLock);
                        doomed = std::move(owner);
                    }
                    doomed.reset();
                    destroyed = true;
                }
            });
        ASSERT_TRUE(created.encoder);
        owner = std::move(created.encoder);
        ASSERT_TRUE(owner->start(0));
        for (int i = 0; i < 40 && !destroyed; ++i) {
            if (!c.destroyInHandler) {
                // Never waits: the queue is full when the owner lets go.
            } else if (!waitUntil([&] {
                           std::lock_guard guard(ownerLock);
                           return destroyed || !owner || owner->isReadyForVideo();
                       })) {
                break;
            }
            std::lock_guard guard(ownerLock);
            if (owner) {
                owner->appendVideo(patternFrame(160, 90, i), frameTime(i));
            }
        }
        if (c.destroyInHandler) {
            EXPECT_TRUE(waitUntil([&] { return destroyed.load(); }));
        } else {
            std::lock_guard guard(ownerLock);
            owner.reset();
        }
        std::size_t delivered = out.segments().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(out.segments().size(), delivered) << "nothing after destruction";
    }
    // An unstarted writer, too.
    auto unstarted = HLSSegmentEncoder::create(settingsOf(), nullptr);
    ASSERT_TRUE(unstarted.encoder);
    EXPECT_FALSE(unstarted.encoder->appendVideo(patternFrame(160, 90, 0), 0)) << "not started";
    EXPECT_EQ(unstarted.encoder->status(), Status::unknown);
}

TEST(FFmpegWriterFailure, AFailingReceiverFailsTheWriterWithAReadableError) {
    std::atomic<int> calls{0};
    auto created = HLSSegmentEncoder::create(settingsOf(), [&](ByteBuffer, SegmentType type) {
        ++calls;
        if (type == SegmentType::separable) {
            throw std::runtime_error("the store is gone");
        }
    });
    ASSERT_TRUE(created.encoder);
    HLSSegmentEncoder& writer = *created.encoder;
    ASSERT_TRUE(writer.start(0));
    for (int i = 0; i < 30 && writer.status() == Status::writing; ++i) {
        ASSERT_TRUE(waitUntil(
            [&] { return writer.isReadyForVideo() || writer.status() != Status::writing; }));
        writer.appendVideo(patternFrame(160, 90, i), frameTime(i));
    }
    ASSERT_TRUE(waitUntil([&] { return writer.status() == Status::failed; }));
    EXPECT_EQ(writer.error(), "The streaming encoder stopped: the store is gone");
    EXPECT_FALSE(writer.isReadyForVideo());
    EXPECT_FALSE(writer.appendVideo(patternFrame(160, 90, 99), frameTime(99)));
    writer.cancel();
    EXPECT_EQ(writer.status(), Status::failed) << "cancel keeps the failure";
    EXPECT_EQ(calls, 2) << "the initialization segment and the failed one";
}

TEST(FFmpegWriterSettings, SettingsTheEncodersCannotTakeAreRefusedWithAReason) {
    struct Case {
        const char* name;
        std::function<void(EncoderSettings&)> change;
        const char* reason;
    };
    const Case cases[] = {
        {"odd width", [](auto& s) { s.width = 1921; }, "1921x1080"},
        {"no height", [](auto& s) { s.height = 0; }, "1920x0"},
        {"huge picture", [](auto& s) { s.width = 20000; }, "20000x1080"},
        {"no bit rate", [](auto& s) { s.videoBitRate_bps = 0; }, "positive bit rates"},
        {"six channels", [](auto& s) { s.audioChannels = 6; }, "6 channels"},
        {"unknown preset", [](auto& s) { s.preset = "sluggish"; }, "H.264 encoder"},
        {"AAC rate", [](auto& s) { s.audioSampleRate_hz = 12345; }, "AAC encoder could not be"},
        {"no queue", [](auto& s) { s.maxQueuedVideoFrames = 0; }, "room for at least one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderSettings settings = settingsOf(1920, 1080);
        c.change(settings);
        auto created = HLSSegmentEncoder::create(settings, nullptr);
        EXPECT_FALSE(created.encoder);
        EXPECT_NE(created.error.find(c.reason), std::string::npos) << created.error;
        EXPECT_EQ(created.error.back(), '.') << "a sentence: " << created.error;
    }
}

TEST(FFmpegWriterInput, MalformedFramesAndAudioAreRefused) {
    auto created = HLSSegmentEncoder::create(settingsOf(), nullptr);
    ASSERT_TRUE(created.encoder);
    HLSSegmentEncoder& writer = *created.encoder;
    ASSERT_TRUE(writer.start(0));
    ffmpeg::VideoFrame good = patternFrame(160, 90, 0);
    struct FrameCase {
        const char* name;
        ffmpeg::VideoFrame frame;
    };
    ffmpeg::VideoFrame noPixels = good, shortRows = good, noWidth = good;
    noPixels.pixels.reset();
    shortRows.bytesPerRow = 4 * 160 - 4;
    noWidth.width = 0;
    for (const auto& c : {FrameCase{"no pixels", noPixels}, FrameCase{"rows too short", shortRows},
                          FrameCase{"no width", noWidth}}) {
        EXPECT_FALSE(writer.appendVideo(c.frame, 0)) << c.name;
    }
    ffmpeg::AudioSamples tone = toneSamples(0, 480);
    ffmpeg::AudioSamples noSamples = tone, noChannels = tone, noRate = tone;
    noSamples.samples.reset();
    noChannels.channelCount = 0;
    noRate.sampleRate_hz = 0;
    for (const auto& a : {noSamples, noChannels, noRate}) {
        EXPECT_FALSE(writer.appendAudio(a, 0));
    }
    EXPECT_TRUE(writer.appendVideo(good, 0)) << "the writer goes on";
    writer.finish();
    EXPECT_EQ(writer.status(), Status::completed) << writer.error();
}

}  // namespace
}  // namespace skylark::test
