// The FFmpeg writer behind the caster's SegmentWriter interface, driven in the order the caster
// drives it.

#include "platform/ffmpeg/ffmpeg_segment_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "stream_checks.hpp"
#include "writer_harness.hpp"

namespace skylark::test {
namespace {

// The caster's clock: CLOCK_MONOTONIC in nanoseconds, long after boot.
constexpr std::int64_t kBoot_ns = 123456 * kSecond_ns;

MediaTime clockTime(std::int64_t ns) {
    return MediaTime::make(kBoot_ns + ns, 1'000'000'000);
}

class Receiver final : public SegmentWriterDelegate {
  public:
    void segmentWriterDidOutputSegment(ByteBuffer data, SegmentType type) override {
        out.add(std::move(data), type == SegmentType::initialization
                                     ? ffmpeg::SegmentType::initialization
                                     : ffmpeg::SegmentType::separable);
    }
    SegmentCollector out;
};

SampleBuffer screenSample(int width, int height, int index) {
    ffmpeg::VideoFrame frame = patternFrame(width, height, index);
    return SampleBuffer::screenFrame(
        ImageBuffer{frame.width, frame.height, frame.bytesPerRow, frame.pixels},
        clockTime(index * kSecond_ns / 30));
}

SampleBuffer audioSample(int index) {
    ffmpeg::AudioSamples tone = toneSamples(index * 480, 480);
    return SampleBuffer::audio(
        AudioBuffer{tone.frameCount, tone.channelCount, tone.sampleRate_hz, tone.samples},
        clockTime(index * kSecond_ns / 100));
}

VideoOutputSettings videoSettings(std::int64_t width = 320, std::int64_t height = 180) {
    VideoOutputSettings settings;
    settings.width = width;
    settings.height = height;
    return settings;
}

// Writer setup as the caster does it; the inputs are attached when canAdd agrees.
struct CastSetup {
    std::shared_ptr<SegmentWriter> writer;
    std::shared_ptr<SegmentWriterInput> video;
    std::shared_ptr<SegmentWriterInput> audio;
    std::shared_ptr<Receiver> receiver = std::make_shared<Receiver>();
};

CastSetup setUp(VideoOutputSettings video = videoSettings(), AudioOutputSettings audio = {}) {
    CastSetup s;
    s.writer = makeFFmpegSegmentWriterFactory()();
    s.writer->setOutputFileTypeProfile(FileTypeProfile::mpeg4AppleHLS);
    s.writer->setPreferredOutputSegmentInterval(MediaTime::fromSeconds(0.25, 600));
    s.writer->setDelegate(s.receiver);
    s.video = s.writer->makeVideoInput(video);
    s.audio = s.writer->makeAudioInput(audio);
    s.video->setExpectsMediaDataInRealTime(true);
    s.audio->setExpectsMediaDataInRealTime(true);
    if (s.writer->canAdd(*s.video) && s.writer->canAdd(*s.audio)) {
        s.writer->add(s.video);
        s.writer->add(s.audio);
    }
    return s;
}

TEST(FFmpegSegmentWriter, ACastThroughTheInterfaceDeliversAPlayableStreamUntilCancelled) {
    CastSetup s = setUp();
    EXPECT_EQ(s.writer->status(), SegmentWriterStatus::unknown);
    EXPECT_FALSE(s.video->append(screenSample(320, 180, 0))) << "not started";

    s.writer->setInitialSegmentStartTime(clockTime(0));
    ASSERT_TRUE(s.writer->startWriting());
    EXPECT_EQ(s.writer->status(), SegmentWriterStatus::writing);
    EXPECT_FALSE(s.writer->error());
    s.writer->startSession(clockTime(0));

    for (int i = 0; i < 45; ++i) {
        for (int k = i * 10 / 3; k < (i + 1) * 10 / 3; ++k) {
            ASSERT_TRUE(waitUntil([&] { return s.audio->isReadyForMoreMediaData(); }));
            EXPECT_TRUE(s.audio->append(audioSample(k)));
        }
        ASSERT_TRUE(waitUntil([&] { return s.video->isReadyForMoreMediaData(); }));
        EXPECT_TRUE(s.video->append(screenSample(320, 180, i)));
    }
    // A frame is not audio and audio is not a frame; times must be times.
    EXPECT_FALSE(s.video->append(audioSample(200)));
    EXPECT_FALSE(s.audio->append(screenSample(320, 180, 60)));
    SampleBuffer timeless = screenSample(320, 180, 61);
    timeless.presentationTimeStamp = MediaTime::indefinite();
    EXPECT_FALSE(s.video->append(timeless));

    ASSERT_TRUE(s.receiver->out.waitFor(1 + 5));
    s.writer->cancelWriting();
    std::size_t delivered = s.receiver->out.segments().size();
    EXPECT_EQ(s.writer->status(), SegmentWriterStatus::cancelled);
    EXPECT_FALSE(s.video->isReadyForMoreMediaData());
    EXPECT_FALSE(s.video->append(screenSample(320, 180, 46)));
    s.writer.reset();
    EXPECT_EQ(s.receiver->out.segments().size(), delivered);
    EXPECT_FALSE(s.video->append(screenSample(320, 180, 47))) << "its writer is gone";
    expectPlayableStream(s.receiver->out, 320, 180);
}

TEST(FFmpegSegmentWriter, InputsItCannotEncodeAreRefusedWithAReason) {
    struct Case {
        const char* name;
        VideoOutputSettings video;
        AudioOutputSettings audio;
        const char* reason;
        bool videoRefused;
    };
    AudioOutputSettings lpcm, sixChannels, noRate, noBits;
    lpcm.formatID = 0x6C70636D;
    sixChannels.numberOfChannels = 6;
    noRate.sampleRate = 0;
    noBits.encoderBitRate = 0;
    VideoOutputSettings noRateVideo = videoSettings(), nanInterval = videoSettings(),
                        noDuration = videoSettings();
    noRateVideo.averageBitRate = 0;
    nanInterval.maxKeyFrameInterval = std::nan("");
    noDuration.maxKeyFrameIntervalDuration = 0;
    const Case cases[] = {
        {"odd width", videoSettings(1281, 720), {}, "1281x720", true},
        {"no height", videoSettings(1280, 0), {}, "1280x0", true},
        {"no bit rate", noRateVideo, {}, "positive bit rate", true},
        {"no key-frame interval", nanInterval, {}, "key-frame interval", true},
        {"no key-frame duration", noDuration, {}, "key-frame interval", true},
        {"not AAC", videoSettings(), lpcm, "AAC audio only", false},
        {"six channels", videoSettings(), sixChannels, "6 channels", false},
        {"no sample rate", videoSettings(), noRate, "at 0 Hz", false},
        {"no audio bit rate", videoSettings(), noBits, "0 bit/s", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto writer =
            std::static_pointer_cast<FFmpegSegmentWriter>(makeFFmpegSegmentWriterFactory()());
        auto video = writer->makeVideoInput(c.video);
        auto audio = writer->makeAudioInput(c.audio);
        EXPECT_EQ(writer->canAdd(*video), !c.videoRefused);
        EXPECT_EQ(writer->canAdd(*audio), c.videoRefused);
        auto& refused = c.videoRefused ? video : audio;
        EXPECT_FALSE(writer->canAdd(*refused));
        EXPECT_NE(writer->refusalReason().find(c.reason), std::string::npos)
            << writer->refusalReason();
        // Added anyway, it is not attached, and the writer cannot start without it.
        writer->add(video);
        writer->add(audio);
        EXPECT_FALSE(writer->startWriting());
        EXPECT_EQ(writer->status(), SegmentWriterStatus::failed);
        ASSERT_TRUE(writer->error());
        EXPECT_EQ(writer->error()->localizedDescription(),
                  "The streaming encoder needs both a video and an audio input.");
    }

    // Inputs of another writer, a second input of a kind, inputs after the start.
    CastSetup s = setUp();
    auto stranger = makeFFmpegSegmentWriterFactory()()->makeVideoInput(videoSettings());
    EXPECT_FALSE(s.writer->canAdd(*stranger));
    EXPECT_FALSE(s.writer->canAdd(*s.writer->makeAudioInput({})));
    ASSERT_TRUE(s.writer->startWriting());
    EXPECT_FALSE(s.writer->canAdd(*s.writer->makeVideoInput(videoSettings())));
}

TEST(FFmpegSegmentWriter, StartAndCancelOutOfTheUsualOrder) {
    {
        SCOPED_TRACE("cancelled before it started");
        CastSetup s = setUp();
        s.writer->cancelWriting();
        EXPECT_EQ(s.writer->status(), SegmentWriterStatus::cancelled);
        EXPECT_FALSE(s.writer->startWriting());
        EXPECT_FALSE(s.writer->error());
    }
    {
        SCOPED_TRACE("cancelled between startWriting and startSession");
        CastSetup s = setUp();
        ASSERT_TRUE(s.writer->startWriting());
        s.writer->cancelWriting();
        s.writer->startSession(clockTime(0));
        EXPECT_EQ(s.writer->status(), SegmentWriterStatus::cancelled);
        EXPECT_FALSE(s.video->append(screenSample(320, 180, 0)));
        EXPECT_TRUE(s.receiver->out.segments().empty());
    }
    {
        SCOPED_TRACE("no segment interval");
        CastSetup s = setUp();
        s.writer->setPreferredOutputSegmentInterval(MediaTime::invalid());
        EXPECT_FALSE(s.writer->startWriting());
        EXPECT_EQ(s.writer->status(), SegmentWriterStatus::failed);
        ASSERT_TRUE(s.writer->error());
        EXPECT_EQ(s.writer->error()->domain, FFmpegSegmentWriter::kErrorDomain);
        EXPECT_EQ(s.writer->error()->localizedDescription(),
                  "The segment interval must be a positive time.");
    }
    {
        SCOPED_TRACE("a session that starts at no time");
        CastSetup s = setUp();
        ASSERT_TRUE(s.writer->startWriting());
        s.writer->startSession(MediaTime::invalid());
        EXPECT_EQ(s.writer->status(), SegmentWriterStatus::failed);
        EXPECT_FALSE(s.video->isReadyForMoreMediaData());
    }
    {
        SCOPED_TRACE("a delegate that went away");
        CastSetup s = setUp();
        ASSERT_TRUE(s.writer->startWriting());
        s.writer->startSession(clockTime(0));
        std::weak_ptr<Receiver> gone = s.receiver;
        s.receiver.reset();
        EXPECT_TRUE(gone.expired());
        for (int i = 0; i < 12; ++i) {
            ASSERT_TRUE(waitUntil([&] { return s.video->isReadyForMoreMediaData(); }));
            EXPECT_TRUE(s.video->append(screenSample(320, 180, i)));
        }
        EXPECT_EQ(s.writer->status(), SegmentWriterStatus::writing);
    }
}

}  // namespace
}  // namespace skylark::test
