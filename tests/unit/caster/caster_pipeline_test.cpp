// Parts 5.5 (sample pipeline) and 5.6 (segment output).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/caster/caster_fixture.hpp"

namespace skylark::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Error kWriterError = Error::withDescription("org.skylark.ffmpeg", 4, "Encoder gone.");
const std::string kWriterErrorText =
    "Optional(Error Domain=org.skylark.ffmpeg Code=4 \"Encoder gone.\" "
    "UserInfo={NSLocalizedDescription=Encoder gone.})";

SampleBuffer withoutAttachments(SampleBuffer sample) {
    sample.attachments.reset();
    return sample;
}
SampleBuffer withEmptyAttachments(SampleBuffer sample) {
    sample.attachments = std::vector<SampleAttachments>{};
    return sample;
}
SampleBuffer withoutStatus(SampleBuffer sample) {
    sample.attachments = std::vector<SampleAttachments>{SampleAttachments{}};
    return sample;
}
SampleBuffer withoutImage(SampleBuffer sample) {
    sample.imageBuffer.reset();
    return sample;
}
SampleBuffer invalid(SampleBuffer sample) {
    sample.isValid = false;
    return sample;
}

// ---- Sample pipeline ----

TEST_F(CasterTest, UnusableScreenFramesDoNotStartTheWriter) {
    startCasting();
    newLines();
    for (auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                        FrameStatus::started, FrameStatus::stopped}) {
        deliver(frame(1000, status), StreamOutputType::screen);
    }
    deliver(withoutAttachments(frame(1000)), StreamOutputType::screen);
    deliver(withEmptyAttachments(frame(1000)), StreamOutputType::screen);
    deliver(withoutStatus(frame(1000)), StreamOutputType::screen);
    deliver(withoutImage(frame(1000)), StreamOutputType::screen);
    deliver(invalid(frame(1000)), StreamOutputType::screen);
    deliver(audio(900), StreamOutputType::audio);  // before the first frame: dropped, silently
    EXPECT_THAT(newLines(), IsEmpty());
    const auto writer = writers.last();
    EXPECT_FALSE(writer->initialSegmentStartTime);
    EXPECT_THAT(writer->audioInput->appendedTimes(), IsEmpty());
}

TEST_F(CasterTest, FirstCompleteFrameStartsTheWriterAndIsAppended) {
    startCasting();
    newLines();
    log->clear();
    deliver(frame(1000), StreamOutputType::screen);
    EXPECT_THAT(newLines(), ElementsAre("received first screen frame; starting writer",
                                        "writer start result: true; status 1; error nil",
                                        "first video sample appended: true"));
    EXPECT_THAT(log->events(), ElementsAre("writer.setInitialSegmentStartTime",
                                           "writer.startWriting", "writer.startSession"));
    const auto writer = writers.last();
    EXPECT_EQ(compare(*writer->initialSegmentStartTime, at(1000)), 0);
    EXPECT_EQ(compare(*writer->sessionStart, at(1000)), 0);
    EXPECT_EQ(writer->videoInput->appendedTimes().size(), 1u);

    // A second complete frame does not start the writer again and logs nothing.
    deliver(frame(1033), StreamOutputType::screen);
    EXPECT_THAT(newLines(), IsEmpty());
    EXPECT_EQ(writer->videoInput->appendedTimes().size(), 2u);
}

TEST_F(CasterTest, AudioAgainstTheSessionStart) {
    startWriting();  // session starts at 1000 ms
    newLines();
    deliver(audio(999), StreamOutputType::audio);
    const auto writer = writers.last();
    EXPECT_THAT(writer->audioInput->appendedTimes(), IsEmpty());
    EXPECT_THAT(newLines(), IsEmpty());
    // Exactly at the session start, in another timescale: appended.
    deliver(SampleBuffer::audio(audio(0).audioBuffer.value(), MediaTime::make(48000, 48000)),
            StreamOutputType::audio);
    EXPECT_EQ(writer->audioInput->appendedTimes().size(), 1u);
    EXPECT_THAT(newLines(), ElementsAre("first audio sample appended: true"));
    deliver(audio(1010), StreamOutputType::audio);
    EXPECT_EQ(writer->audioInput->appendedTimes().size(), 2u);
    EXPECT_THAT(newLines(), IsEmpty());
    // An earlier screen frame is dropped too.
    deliver(frame(990), StreamOutputType::screen);
    EXPECT_EQ(writer->videoInput->appendedTimes().size(), 1u);
}

TEST_F(CasterTest, WriterStartFailureIsReportedOnceAndNeverRetried) {
    writers.configure = [](FakeWriter& w) {
        w.startWritingResult = false;
        w.startWritingError = kWriterError;
    };
    startCasting();
    newLines();
    newReports();
    deliver(frame(1000), StreamOutputType::screen);
    EXPECT_THAT(newLines(),
                ElementsAre("received first screen frame; starting writer",
                            "writer start result: false; status 3; error " + kWriterErrorText));
    EXPECT_THAT(newReports(), IsEmpty());  // carried to the main thread
    EXPECT_FALSE(store->isLive());
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Encoder gone."}));
    for (int i = 1; i <= 5; ++i) {
        deliver(frame(1000 + 33 * i), StreamOutputType::screen);
        deliver(audio(1000 + 33 * i), StreamOutputType::audio);
    }
    pump();
    EXPECT_THAT(newLines(), IsEmpty());
    EXPECT_THAT(newReports(), IsEmpty());
    const auto events = log->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "writer.startWriting"), 1);
    EXPECT_FALSE(writers.last()->sessionStart);
    EXPECT_TRUE(caster->isCasting());  // the cast stays until the user stops it
}

TEST_F(CasterTest, WriterStartFailureWithoutError) {
    writers.configure = [](FakeWriter& w) { w.startWritingResult = false; };
    startCasting();
    newReports();
    deliver(frame(1000), StreamOutputType::screen);
    pump();
    EXPECT_TRUE(trace->contains("writer start result: false; status 3; error nil"));
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "The streaming encoder could not start."}));
}

TEST_F(CasterTest, FailedWriterIsReportedOnce) {
    startWriting();
    store->addInitialization(makeBuffer("init"));
    store->addSegment(makeBuffer("media"));
    ASSERT_TRUE(storeActiveWithContent());
    newLines();
    newReports();
    writers.last()->fail(kWriterError);
    for (int i = 1; i <= 10; ++i) {
        deliver(frame(1000 + 33 * i), StreamOutputType::screen);
        deliver(audio(1000 + 33 * i), StreamOutputType::audio);
    }
    pump();
    EXPECT_THAT(newLines(), ElementsAre("writer failed: " + kWriterErrorText));
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Encoder gone."}));
    EXPECT_FALSE(storeActiveWithContent());
    EXPECT_EQ(writers.last()->videoInput->appendedTimes().size(), 1u);
    EXPECT_TRUE(caster->isCasting());
}

TEST_F(CasterTest, FailedWriterWithoutError) {
    startWriting();
    newReports();
    writers.last()->fail(std::nullopt);
    deliver(audio(1100), StreamOutputType::audio);
    pump();
    EXPECT_TRUE(trace->contains("writer failed: nil"));
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "The streaming encoder stopped."}));
}

TEST_F(CasterTest, FailedAppendsAreLogged) {
    startCasting();
    writers.last()->videoInput->appendResult = false;
    writers.last()->audioInput->appendResult = false;
    newLines();
    deliver(frame(1000), StreamOutputType::screen);
    deliver(frame(1033), StreamOutputType::screen);
    deliver(audio(1000), StreamOutputType::audio);
    deliver(audio(1010), StreamOutputType::audio);
    EXPECT_THAT(newLines(), ElementsAre("received first screen frame; starting writer",
                                        "writer start result: true; status 1; error nil",
                                        "first video sample appended: false",
                                        "video append failed; writer status 1, error nil",
                                        "video append failed; writer status 1, error nil",
                                        "first audio sample appended: false",
                                        "audio append failed; writer status 1, error nil",
                                        "audio append failed; writer status 1, error nil"));
}

TEST_F(CasterTest, UnreadyInputsDropSilently) {
    startCasting();
    writers.last()->videoInput->ready = false;
    writers.last()->audioInput->ready = false;
    newLines();
    deliver(frame(1000), StreamOutputType::screen);
    deliver(audio(1000), StreamOutputType::audio);
    EXPECT_THAT(newLines(), ElementsAre("received first screen frame; starting writer",
                                        "writer start result: true; status 1; error nil"));
    EXPECT_THAT(writers.last()->videoInput->appendedTimes(), IsEmpty());
    // Ready again: the next frame is the first append.
    writers.last()->videoInput->ready = true;
    deliver(frame(1033), StreamOutputType::screen);
    EXPECT_THAT(newLines(), ElementsAre("first video sample appended: true"));
}

TEST_F(CasterTest, OtherOutputTypesAreNeverAppended) {
    startWriting();
    newLines();
    deliver(audio(1100), StreamOutputType::microphone);
    deliver(frame(1100), static_cast<StreamOutputType>(9));
    const auto writer = writers.last();
    EXPECT_EQ(writer->videoInput->appendedTimes().size(), 1u);
    EXPECT_THAT(writer->audioInput->appendedTimes(), IsEmpty());
    EXPECT_THAT(newLines(), IsEmpty());
}

TEST_F(CasterTest, OtherOutputTypesDoNotStartTheWriter) {
    startCasting();
    deliver(frame(1000), StreamOutputType::microphone);
    EXPECT_FALSE(writers.last()->initialSegmentStartTime);
}

TEST_F(CasterTest, WithoutWriterEverySampleIsDropped) {
    caster->streamDidOutputSampleBuffer(frame(1000), StreamOutputType::screen);
    caster->streamDidOutputSampleBuffer(audio(1000), StreamOutputType::audio);
    EXPECT_THAT(trace->lines(), IsEmpty());
    EXPECT_THAT(log->events(), IsEmpty());
}

// ---- Segment output ----

TEST_F(CasterTest, SegmentsGoToTheStore) {
    startWriting();
    newLines();
    const auto writer = writers.last();
    writer->emit(makeBuffer("init-1"), SegmentType::initialization);
    writer->emit(makeBuffer("media-0"), SegmentType::separable);
    writer->emit(makeBuffer("media-1"), static_cast<SegmentType>(7));
    writer->emit(makeBuffer(Bytes{}), SegmentType::separable);
    EXPECT_THAT(newLines(), ElementsAre("writer emitted initialization segment (6 bytes)",
                                        "writer emitted media segment (7 bytes)",
                                        "writer emitted media segment (7 bytes)",
                                        "writer emitted media segment (0 bytes)"));
    EXPECT_EQ(asText(*store->initData()), "init-1");
    EXPECT_EQ(asText(*store->segment(0)), "media-0");
    EXPECT_EQ(asText(*store->segment(1)), "media-1");
    ASSERT_TRUE(store->segment(2));
    EXPECT_TRUE(store->segment(2)->empty());
    EXPECT_TRUE(storeActiveWithContent());

    // A second initialization segment replaces the first; the window is unchanged.
    writer->emit(makeBuffer("init-2"), SegmentType::initialization);
    EXPECT_EQ(asText(*store->initData()), "init-2");
    EXPECT_EQ(asText(*store->segment(0)), "media-0");
    EXPECT_FALSE(store->segment(3));
}

TEST_F(CasterTest, SegmentsAfterStopBeganAreStillStored) {
    startWriting();
    const auto writer = writers.last();
    writer->emit(makeBuffer("init"), SegmentType::initialization);
    writer->emit(makeBuffer("media-0"), SegmentType::separable);
    caster->stop();  // the stop task has not run: the writer is not cancelled yet
    writer->emit(makeBuffer("media-1"), SegmentType::separable);
    EXPECT_EQ(asText(*store->segment(1)), "media-1");
    EXPECT_FALSE(store->isLive());
    pump();
    // After the stop the last content can still be fetched.
    EXPECT_EQ(asText(*store->initData()), "init");
    EXPECT_TRUE(store->playlist());
}

}  // namespace
}  // namespace skylark::test
