// Stop and teardown, a stop while capture start is under way, and a second cast.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "unit/caster/caster_fixture.hpp"

namespace skylark::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kAbandoned = "capture start abandoned: the cast was stopped";

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(CasterTest, StopWhileIdleDoesNothing) {
    store->reset();
    caster->stop();
    pump();
    EXPECT_THAT(trace->lines(), IsEmpty());
    EXPECT_THAT(reports, IsEmpty());
    EXPECT_THAT(log->events(), IsEmpty());
    // The store was not stopped: still active after its reset.
    store->addInitialization(makeBuffer("i"));
    store->addSegment(makeBuffer("s"));
    EXPECT_TRUE(storeActiveWithContent());
}

TEST_F(CasterTest, StopWhileCasting) {
    startWriting();
    const auto writer = writers.last();
    writer->emit(makeBuffer("init"), SegmentType::initialization);
    writer->emit(makeBuffer("media"), SegmentType::separable);
    ASSERT_TRUE(storeActiveWithContent());
    newLines();
    newReports();
    log->clear();

    caster->stop();
    // The quick part, synchronously on the main thread.
    EXPECT_FALSE(caster->isCasting());
    EXPECT_TRUE(caster->isStopping());
    EXPECT_FALSE(storeActiveWithContent());
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kStopping}));
    EXPECT_EQ(kStopping.substr(kStopping.size() - 3), "\xE2\x80\xA6");
    EXPECT_THAT(log->events(), IsEmpty());

    pump();
    EXPECT_THAT(log->events(), ElementsAre("stream.stopCapture", "writer.cancelWriting"));
    EXPECT_THAT(newLines(), ElementsAre("capture fully stopped; ready to share again"));
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Ready"}));
    EXPECT_FALSE(caster->isStopping());
    EXPECT_FALSE(caster->hasStream());
    EXPECT_FALSE(streams.last()->isRunning());
    // The writer and its inputs have been released.
    EXPECT_EQ(writer.use_count(), 2);  // the factory, this test
    // The store keeps its last content.
    EXPECT_EQ(asText(*store->initData()), "init");
    EXPECT_EQ(asText(*store->segment(0)), "media");
}

TEST_F(CasterTest, StopTwiceStopsOnce) {
    startCasting();
    newReports();
    streams.last()->holdStop = true;
    caster->stop();
    caster->stop();
    pump();
    EXPECT_EQ(streams.last()->stopCount, 1);
    streams.last()->completeStop();
    pump();
    caster->stop();  // idle again
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kStopping}, Report{false, "Ready"}));
}

TEST_F(CasterTest, FailedCaptureStopIsIgnored) {
    startCasting();
    streams.last()->stopError = Error::withDescription("org.skylark.x11", 9, "Already gone.");
    newLines();
    caster->stop();
    pump();
    EXPECT_THAT(newLines(), ElementsAre("capture fully stopped; ready to share again"));
    EXPECT_EQ(reports.back(), (Report{false, "Ready"}));
    EXPECT_FALSE(caster->hasStream());
}

TEST_F(CasterTest, CaptureThatEndsByItself) {
    startWriting();
    writers.last()->emit(makeBuffer("init"), SegmentType::initialization);
    writers.last()->emit(makeBuffer("media"), SegmentType::separable);
    newLines();
    newReports();
    log->clear();
    streams.last()->endWithError(
        Error::withDescription("org.skylark.x11", 5, "The window closed."));
    EXPECT_FALSE(caster->isCasting());
    EXPECT_TRUE(caster->hasStream());
    EXPECT_FALSE(storeActiveWithContent());
    EXPECT_THAT(newReports(), IsEmpty());  // carried to the main thread
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "The window closed."}));
    EXPECT_THAT(newLines(), IsEmpty());
    EXPECT_THAT(log->events(), IsEmpty());  // nothing stopped, nothing cancelled

    // Samples still reach the writer, which stays until stop().
    deliver(frame(1033), StreamOutputType::screen);
    EXPECT_EQ(writers.last()->videoInput->appendedTimes().size(), 2u);

    // stop() completes the teardown even though the capture stop fails.
    streams.last()->stopError = Error::withDescription("org.skylark.x11", 6, "Not running.");
    caster->stop();
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kStopping}, Report{false, "Ready"}));
    EXPECT_FALSE(caster->hasStream());
    EXPECT_EQ(writers.last()->cancels(), 1);
    // Idle again: start() presents the picker.
    caster->start();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kChoose}));
}

TEST_F(CasterTest, EndReportFromAStreamThatIsNotTheCurrentOneIsIgnored) {
    startCasting();
    const auto first = streams.last();
    caster->stop();
    pump();
    startCasting();
    newReports();
    first->endWithError(Error::withDescription("org.skylark.x11", 5, "Stale."));
    pump();
    EXPECT_TRUE(caster->isCasting());
    EXPECT_THAT(newReports(), IsEmpty());
}

TEST_F(CasterTest, EndReportWhileStoppingIsIgnored) {
    startCasting();
    streams.last()->holdStop = true;
    caster->stop();
    pump();
    newReports();
    streams.last()->endWithError(Error::withDescription("org.skylark.x11", 5, "Late."));
    streams.last()->completeStop();
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Ready"}));
}

// ---- a stop while capture start is under way: at each of its waits ----

// Where the test stops the cast, relative to the start task's steps.
enum class StopPoint {
    BeforeTheTaskRuns,         // the selection was accepted; nothing else has run
    BeforeTheWriterIsStored,   // the writer is built; its fields are to be stored on videoQueue
    BeforeTheStreamIsCreated,  // the writer is stored; the stream is next
    WhileTheCaptureStarts,     // the stream is stored and its start is pending
    BeforeTheCastingReport,    // the capture has started; the report waits for the main thread
};

struct StopCase {
    const char* name;
    StopPoint point;
    std::optional<Error> startResult;  // for WhileTheCaptureStarts
};

class StopDuringStartTest : public CasterTest, public ::testing::WithParamInterface<StopCase> {
  protected:
    // Runs only the given queue, once.
    void runTasks() { tasks->runAll(); }
    void runVideo() { video->runAll(); }
};

INSTANTIATE_TEST_SUITE_P(
    Points, StopDuringStartTest,
    ::testing::Values(StopCase{"BeforeTheTaskRuns", StopPoint::BeforeTheTaskRuns, {}},
                      StopCase{"BeforeTheWriterIsStored", StopPoint::BeforeTheWriterIsStored, {}},
                      StopCase{"BeforeTheStreamIsCreated", StopPoint::BeforeTheStreamIsCreated, {}},
                      StopCase{"WhileTheCaptureStartsThenStarts", StopPoint::WhileTheCaptureStarts,
                               std::nullopt},
                      StopCase{"WhileTheCaptureStartsThenFails", StopPoint::WhileTheCaptureStarts,
                               Error::withDescription("org.skylark.x11", 8, "Interrupted.")},
                      StopCase{"BeforeTheCastingReport", StopPoint::BeforeTheCastingReport, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(StopDuringStartTest, TheStoppedCastNeverComesBack) {
    streams.configure = [](FakeStream& stream) { stream.holdStart = true; };
    caster->start();
    picker->select();
    newReports();

    // Advance the start task to the chosen point, one queue at a time.
    const StopPoint point = GetParam().point;
    if (point >= StopPoint::BeforeTheWriterIsStored) {
        runTasks();  // sizes, writer setup; the store of its fields is queued on videoQueue
        ASSERT_EQ(video->size(), 1u);
    }
    if (point >= StopPoint::BeforeTheStreamIsCreated) {
        runVideo();
        ASSERT_TRUE(streams.streams().empty());
    }
    if (point >= StopPoint::WhileTheCaptureStarts) {
        runTasks();
        ASSERT_TRUE(streams.last());
        ASSERT_TRUE(streams.last()->startPending());
    }
    if (point >= StopPoint::BeforeTheCastingReport) {
        streams.last()->completeStart();
        runTasks();
        ASSERT_EQ(main->size(), 1u);
    }

    caster->stop();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kStopping}));
    EXPECT_FALSE(store->isLive());

    if (point == StopPoint::WhileTheCaptureStarts) {
        pump();  // the stop task stops the stream while its start is pending
        EXPECT_EQ(streams.last()->stopCount, 1);
        streams.last()->completeStart(GetParam().startResult);
    }
    pump();
    if (point == StopPoint::WhileTheCaptureStarts && !GetParam().startResult) {
        EXPECT_EQ(streams.last()->stopCount, 2);  // the start task stopped what it started
    }

    // One "Stopping…" and one "Ready", and nothing of the abandoned start.
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Ready"}));
    EXPECT_FALSE(caster->isCasting());
    EXPECT_FALSE(caster->isStopping());
    EXPECT_FALSE(caster->hasStream());
    store->addInitialization(makeBuffer("late init"));
    store->addSegment(makeBuffer("late segment"));
    EXPECT_FALSE(store->isLive());  // not reset behind the stop
    for (const auto& stream : streams.streams()) {
        EXPECT_FALSE(stream->isRunning());
    }
    // Whatever writer was built is released, and a stored one was cancelled.
    for (const auto& writer : writers.writers()) {
        EXPECT_EQ(writer.use_count(), 2);  // the factory, the loop variable
        if (point >= StopPoint::BeforeTheStreamIsCreated) {
            EXPECT_EQ(writer->cancels(), 1);
        }
    }
    const auto lines = trace->lines();
    EXPECT_FALSE(contains(lines, "asset writer prepared") &&
                 point < StopPoint::BeforeTheStreamIsCreated);
    if (point != StopPoint::BeforeTheCastingReport) {
        EXPECT_TRUE(contains(lines, kAbandoned));
    }

    // The next cast starts from clean fields.
    startCasting();
    streams.last()->completeStart();
    pump();
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
    EXPECT_TRUE(caster->isCasting());
}

TEST_F(CasterTest, StopWhileStartingWithoutStreamSkipsTheCaptureStop) {
    caster->start();
    picker->select();
    tasks->runAll();
    video->runAll();  // the writer is stored, no stream yet
    log->clear();
    caster->stop();
    pump();
    EXPECT_THAT(log->events(), ElementsAre("writer.cancelWriting"));
    EXPECT_TRUE(streams.streams().empty());
    EXPECT_EQ(reports.back(), (Report{false, "Ready"}));
}

TEST_F(CasterTest, CaptureEndedDuringStartKeepsItsReport) {
    streams.configure = [](FakeStream& stream) { stream.holdStart = true; };
    caster->start();
    picker->select();
    pump();
    newReports();
    streams.last()->endWithError(Error::withDescription("org.skylark.x11", 5, "Display gone."));
    streams.last()->completeStart();
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, "Display gone."}));
    EXPECT_FALSE(caster->isCasting());
    EXPECT_TRUE(caster->hasStream());  // ended by the capture: stop() tears down
    caster->stop();
    pump();
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kStopping}, Report{false, "Ready"}));
}

// ---- a second cast ----

TEST_F(CasterTest, SecondCastStartsFromCleanFields) {
    startWriting();
    deliver(audio(1000), StreamOutputType::audio);
    writers.last()->fail(std::nullopt);
    deliver(frame(1033), StreamOutputType::screen);  // reported failure
    caster->stop();
    pump();
    const auto firstWriter = writers.last();
    const auto firstStream = streams.last();
    newLines();
    newReports();

    startCasting();
    ASSERT_NE(writers.last(), firstWriter);
    ASSERT_NE(streams.last(), firstStream);
    EXPECT_TRUE(store->initData() == nullptr);  // reset for the new cast
    deliver(frame(5000), StreamOutputType::screen);
    deliver(audio(5000), StreamOutputType::audio);
    writers.last()->fail(std::nullopt);
    deliver(audio(5010), StreamOutputType::audio);
    pump();
    EXPECT_THAT(newLines(), ElementsAre("presenting content picker", "picker returned selection",
                                        "selected content size 3024x1964; encoding 1920x1246",
                                        "creating HLS writer", "asset writer prepared",
                                        "screen and system audio outputs added",
                                        "ScreenCaptureKit capture started",
                                        "received first screen frame; starting writer",
                                        "writer start result: true; status 1; error nil",
                                        "first video sample appended: true",
                                        "first audio sample appended: true", "writer failed: nil"));
    EXPECT_EQ(compare(*writers.last()->sessionStart, at(5000)), 0);
    EXPECT_THAT(newReports(), ElementsAre(Report{false, kChoose}, Report{true, kCasting},
                                          Report{false, "The streaming encoder stopped."}));
}

}  // namespace
}  // namespace skylark::test
