// Parts 5.2 (lifecycle and picker), 5.3 (writer setup) and 5.4 (capture start).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/caster/caster_fixture.hpp"

namespace skylark::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kEncoderError =
    "Error Domain=Skylark Code=2 \"Could not prepare the streaming encoder.\" "
    "UserInfo={NSLocalizedDescription=Could not prepare the streaming encoder.}";

const Error kPlatformError =
    Error::withDescription("org.skylark.x11", 7, "Capture is unavailable.");
const std::string kPlatformErrorText =
    "capture startup error: Error Domain=org.skylark.x11 Code=7 \"Capture is unavailable.\" "
    "UserInfo={NSLocalizedDescription=Capture is unavailable.}";

// ---- Start and the picker ----

TEST_F(CasterTest, ConstructionTouchesNothing) {
    EXPECT_THAT(log->events(), IsEmpty());
    EXPECT_THAT(trace->lines(), IsEmpty());
    EXPECT_THAT(reports, IsEmpty());
    EXPECT_FALSE(caster->isCasting());
    EXPECT_FALSE(caster->isStopping());
    EXPECT_FALSE(caster->hasStream());
    EXPECT_FALSE(store->isLive());
}

TEST_F(CasterTest, StartPresentsThePicker) {
    caster->start();
    EXPECT_THAT(trace->lines(), ElementsAre("presenting content picker"));
    EXPECT_THAT(log->events(), ElementsAre("picker.addObserver", "picker.setDefaultConfiguration",
                                           "picker.setActive(true)", "picker.present"));
    ASSERT_TRUE(picker->configuration());
    EXPECT_EQ(picker->configuration()->allowedPickerModes, 20u);
    EXPECT_FALSE(picker->configuration()->allowsChangingSelectedContent);
    EXPECT_THAT(reports, ElementsAre(Report{false, kChoose}));
    EXPECT_EQ(kChoose.substr(kChoose.size() - 3), "\xE2\x80\xA6");
    EXPECT_FALSE(caster->isCasting());
}

TEST_F(CasterTest, StartTwiceAddsTheObserverOnce) {
    caster->start();
    caster->start();
    EXPECT_EQ(picker->presentCount, 2);
    EXPECT_EQ(picker->observerCount(), 1u);
    EXPECT_THAT(reports, ElementsAre(Report{false, kChoose}, Report{false, kChoose}));
}

TEST_F(CasterTest, CancelReportsReadyOnTheMainThread) {
    caster->start();
    newReports();
    newLines();
    picker->cancel();
    EXPECT_THAT(newReports(), IsEmpty());  // carried to the main thread
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Ready"}));
    EXPECT_THAT(newLines(), IsEmpty());
    EXPECT_FALSE(caster->isCasting());
    EXPECT_TRUE(picker->active());
}

TEST_F(CasterTest, PickerFailureReportsItsText) {
    caster->start();
    newReports();
    picker->fail(Error::withDescription("org.skylark.x11", 1, "No display to share."));
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "No display to share."}));
    EXPECT_FALSE(caster->isCasting());
    // A later start presents again.
    caster->start();
    EXPECT_EQ(picker->presentCount, 2);
}

TEST_F(CasterTest, WithoutHandlerEverythingElseHappens) {
    caster->setStateChanged(nullptr);
    startCasting();
    EXPECT_TRUE(caster->isCasting());
    caster->stop();
    pump();
    EXPECT_FALSE(caster->isCasting());
    EXPECT_THAT(reports, IsEmpty());
    EXPECT_TRUE(trace->contains("capture fully stopped; ready to share again"));
}

TEST_F(CasterTest, StartRefusedWhileStartingCastingEndedOrStopping) {
    caster->start();
    picker->select();  // Starting: the task has not run yet
    newReports();
    newLines();
    caster->start();
    EXPECT_THAT(newReports(), ElementsAre(Report{true, "Already casting"}));

    pump();  // Casting
    newReports();
    newLines();
    caster->start();
    EXPECT_THAT(newReports(), ElementsAre(Report{true, "Already casting"}));

    streams.last()->holdStop = true;
    caster->stop();  // Stopping
    newReports();
    caster->start();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kFinishing}));
    EXPECT_EQ(kFinishing.substr(kFinishing.size() - 3), "\xE2\x80\xA6");
    EXPECT_THAT(newLines(), IsEmpty());
    EXPECT_EQ(picker->presentCount, 1);
}

TEST_F(CasterTest, StartRefusedAfterTheCaptureEndedByItself) {
    startCasting();
    streams.last()->endWithError(
        Error::withDescription("org.skylark.x11", 5, "The window closed."));
    pump();
    newReports();
    newLines();
    caster->start();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Already casting"}));
    EXPECT_THAT(newLines(), IsEmpty());
}

TEST_F(CasterTest, SelectionIgnoredWhileBusy) {
    startCasting();
    const auto streamCount = streams.streams().size();
    const auto writerCount = writers.writers().size();
    newLines();
    newReports();
    picker->select();
    pump();
    EXPECT_THAT(newLines(), ElementsAre("picker returned selection"));
    EXPECT_THAT(newReports(), IsEmpty());
    EXPECT_EQ(streams.streams().size(), streamCount);
    EXPECT_EQ(writers.writers().size(), writerCount);
    EXPECT_TRUE(caster->isCasting());
}

TEST_F(CasterTest, SelectionWithoutStartIsAccepted) {
    // The picker stays active after a cast, so a selection can arrive while idle.
    caster->start();
    picker->cancel();
    pump();
    picker->select();
    pump();
    EXPECT_TRUE(caster->isCasting());
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
}

// ---- Parts 5.3 and 5.4: a successful start ----

TEST_F(CasterTest, SuccessfulStart) {
    store->addInitialization(makeBuffer("old init"));
    store->addSegment(makeBuffer("old segment"));
    caster->start();
    newLines();
    newReports();
    log->clear();
    bool storeWasResetBeforeStart = false;
    streams.configure = [&](FakeStream& stream) {
        stream.onStart = [&] { storeWasResetBeforeStart = store->initData() == nullptr; };
    };
    picker->select(makeFilter(1512, 982, 2));
    EXPECT_TRUE(caster->isCasting());  // accepted at once, before the task runs
    EXPECT_THAT(newReports(), IsEmpty());
    EXPECT_THAT(newLines(), ElementsAre("picker returned selection"));
    pump();

    EXPECT_THAT(newLines(), ElementsAre("selected content size 3024x1964; encoding 1920x1246",
                                        "creating HLS writer", "asset writer prepared",
                                        "screen and system audio outputs added",
                                        "ScreenCaptureKit capture started"));
    EXPECT_THAT(newReports(), ElementsAre(Report{true, kCasting}));
    EXPECT_TRUE(caster->isCasting());
    EXPECT_TRUE(caster->hasStream());
    EXPECT_TRUE(storeWasResetBeforeStart);
    EXPECT_THAT(log->events(),
                ElementsAre("makeWriter", "writer.setOutputFileTypeProfile",
                            "writer.setPreferredOutputSegmentInterval", "writer.setDelegate",
                            "writer.makeVideoInput", "writer.makeAudioInput",
                            "writer.canAdd(video)", "writer.canAdd(audio)", "writer.add(video)",
                            "writer.add(audio)", "makeStream", "stream.addStreamOutput(screen)",
                            "stream.addStreamOutput(audio)", "stream.startCapture"));

    // The stream's configuration.
    const auto stream = streams.last();
    const StreamConfiguration& c = stream->configuration;
    EXPECT_EQ(c.width, 1920);
    EXPECT_EQ(c.height, 1246);
    EXPECT_EQ(c.minimumFrameInterval.value, 1);
    EXPECT_EQ(c.minimumFrameInterval.timescale, 30);
    EXPECT_EQ(c.queueDepth, 5);
    EXPECT_EQ(c.pixelFormat, 0x42475241u);
    EXPECT_TRUE(c.capturesAudio);
    EXPECT_TRUE(c.excludesCurrentProcessAudio);
    EXPECT_EQ(c.sampleRate, 48000);
    EXPECT_EQ(c.channelCount, 2);
    ASSERT_EQ(stream->outputs.size(), 2u);
    EXPECT_EQ(stream->outputs[0].type, StreamOutputType::screen);
    EXPECT_EQ(stream->outputs[1].type, StreamOutputType::audio);
    EXPECT_EQ(stream->outputs[0].queue, video);
    EXPECT_EQ(stream->outputs[1].queue, video);
    EXPECT_EQ(stream->outputs[0].output.lock(), caster);

    // The writer's configuration.
    const auto writer = writers.last();
    EXPECT_EQ(writer->profile, FileTypeProfile::mpeg4AppleHLS);
    ASSERT_TRUE(writer->segmentInterval);
    EXPECT_EQ(writer->segmentInterval->value, 150);
    EXPECT_EQ(writer->segmentInterval->timescale, 600);
    EXPECT_EQ(writer->delegate.lock(), caster);
    const VideoOutputSettings& v = *writer->videoInput->videoSettings;
    EXPECT_EQ(v.codec, VideoOutputSettings::Codec::h264);
    EXPECT_EQ(v.width, 1920);
    EXPECT_EQ(v.height, 1246);
    EXPECT_EQ(v.averageBitRate, 6000000.0);
    EXPECT_EQ(v.maxKeyFrameInterval, 8.0);
    EXPECT_EQ(v.maxKeyFrameIntervalDuration, 0.25);
    const AudioOutputSettings& a = *writer->audioInput->audioSettings;
    EXPECT_EQ(a.formatID, 0x61616320u);
    EXPECT_EQ(a.sampleRate, 48000);
    EXPECT_EQ(a.numberOfChannels, 2);
    EXPECT_EQ(a.encoderBitRate, 192000);
    EXPECT_TRUE(writer->videoInput->expectsRealTime);
    EXPECT_TRUE(writer->audioInput->expectsRealTime);
    EXPECT_FALSE(writer->initialSegmentStartTime);  // set by the first frame
}

TEST_F(CasterTest, CastingReportWaitsForTheCaptureToStart) {
    streams.configure = [](FakeStream& stream) { stream.holdStart = true; };
    caster->start();
    picker->select();
    pump();
    EXPECT_FALSE(trace->contains("ScreenCaptureKit capture started"));
    EXPECT_NE(reports.back(), (Report{true, kCasting}));
    EXPECT_TRUE(caster->hasStream());
    streams.last()->completeStart();
    pump();
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
}

// ---- Capture start: failing steps ----

TEST_F(CasterTest, WriterThatRefusesTheAudioInput) {
    writers.configure = [](FakeWriter& writer) { writer.canAddAudio = false; };
    caster->start();
    newLines();
    newReports();
    picker->select();
    pump();
    EXPECT_THAT(newLines(),
                ElementsAre("picker returned selection",
                            "selected content size 3024x1964; encoding 1920x1246",
                            "creating HLS writer", "capture startup error: " + kEncoderError));
    EXPECT_THAT(newReports(),
                ElementsAre(Report{false, "Could not prepare the streaming encoder."}));
    EXPECT_TRUE(writers.last()->added.empty());  // asked both, added neither
    EXPECT_FALSE(caster->isCasting());
    EXPECT_FALSE(caster->hasStream());
    EXPECT_TRUE(streams.streams().empty());
    EXPECT_FALSE(store->isLive());
}

TEST_F(CasterTest, WriterThatRefusesTheVideoInputIsNotAskedAboutAudio) {
    writers.configure = [](FakeWriter& writer) { writer.canAddVideo = false; };
    startCasting();
    const auto events = log->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "writer.canAdd(audio)"), 0);
    EXPECT_EQ(reports.back(), (Report{false, "Could not prepare the streaming encoder."}));
}

TEST_F(CasterTest, WriterSetupFailureKeepsTheFieldsAsTheyWere) {
    // A first attempt that fails at capture start leaves its writer in the fields.
    streams.configure = [](FakeStream& stream) { stream.startError = kPlatformError; };
    startCasting();
    const auto firstWriter = writers.last();
    EXPECT_EQ(firstWriter.use_count(), 3);  // the factory, the caster, this test
    // A second attempt whose writer refuses an input does not replace it.
    writers.configure = [](FakeWriter& writer) { writer.canAddAudio = false; };
    startCasting();
    const auto secondWriter = writers.last();
    ASSERT_NE(secondWriter, firstWriter);
    EXPECT_EQ(reports.back(), (Report{false, "Could not prepare the streaming encoder."}));
    EXPECT_EQ(firstWriter.use_count(), 3);
    EXPECT_EQ(secondWriter.use_count(), 2);  // the factory, this test
}

struct StepFailure {
    const char* name;
    std::function<void(FakeStreamFactory&)> arrange;
    std::vector<std::string> tailLines;  // the trace after "asset writer prepared"
    bool storeWasReset;
};

class CaptureStartFailureTest : public CasterTest,
                                public ::testing::WithParamInterface<StepFailure> {};

INSTANTIATE_TEST_SUITE_P(
    Steps, CaptureStartFailureTest,
    ::testing::Values(StepFailure{"StreamCreation",
                                  [](FakeStreamFactory& f) { f.createError = kPlatformError; },
                                  {kPlatformErrorText},
                                  false},
                      StepFailure{"ScreenOutput",
                                  [](FakeStreamFactory& f) {
                                      f.configure = [](FakeStream& s) {
                                          s.addOutputErrors.emplace(StreamOutputType::screen,
                                                                    kPlatformError);
                                      };
                                  },
                                  {kPlatformErrorText},
                                  false},
                      StepFailure{"AudioOutput",
                                  [](FakeStreamFactory& f) {
                                      f.configure = [](FakeStream& s) {
                                          s.addOutputErrors.emplace(StreamOutputType::audio,
                                                                    kPlatformError);
                                      };
                                  },
                                  {kPlatformErrorText},
                                  false},
                      StepFailure{"CaptureStart",
                                  [](FakeStreamFactory& f) {
                                      f.configure = [](FakeStream& s) {
                                          s.startError = kPlatformError;
                                      };
                                  },
                                  {"screen and system audio outputs added", kPlatformErrorText},
                                  true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(CaptureStartFailureTest, EndsTheAttemptAndReportsThePlatformText) {
    GetParam().arrange(streams);
    store->addInitialization(makeBuffer("old init"));
    caster->start();
    picker->select();
    newLines();
    newReports();
    pump();
    auto lines = newLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "asset writer prepared");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), GetParam().tailLines);
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Capture is unavailable."}));
    EXPECT_FALSE(caster->isCasting());
    EXPECT_FALSE(caster->hasStream());
    EXPECT_FALSE(store->isLive());
    EXPECT_EQ(store->initData() == nullptr, GetParam().storeWasReset);
    // The new writer stays (never started, never cancelled) until the next cast replaces it.
    const auto firstWriter = writers.last();
    EXPECT_EQ(firstWriter.use_count(), 3);  // the factory, the caster, this test
    EXPECT_EQ(firstWriter->cancels(), 0);
    // A failed stream is dropped without being stopped.
    for (const auto& stream : streams.streams()) {
        EXPECT_EQ(stream->stopCount, 0);
    }

    // start() is accepted again at once, and the next cast replaces the writer.
    streams.createError.reset();
    streams.configure = nullptr;
    startCasting();
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
    EXPECT_EQ(firstWriter.use_count(), 2);
}

}  // namespace
}  // namespace skylark::test
