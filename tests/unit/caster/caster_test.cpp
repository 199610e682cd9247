// The caster's state machine over fakes, with its three queues run by hand on the test's thread.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "caster/cast_recipe.hpp"
#include "caster/native_caster.hpp"
#include "unit/caster/fakes.hpp"

namespace skylark::test {
namespace {

using testing::ElementsAre;
using Report = std::pair<bool, std::string>;

const std::string kCasting = "Casting screen + system audio";
const Report kReady{false, "Ready"};

class CasterTest : public testing::Test {
  public:
    void SetUp() override {
        CasterPlatform platform;
        platform.picker = picker;
        platform.makeStream =
            [this](std::shared_ptr<const ContentFilter>, const StreamConfiguration& configuration,
                   std::weak_ptr<CaptureStreamDelegate> delegate) -> CaptureStreamResult {
            if (streamError) {
                return *streamError;
            }
            streams.push_back(std::make_shared<FakeStream>(configuration, delegate));
            if (configureStream) {
                configureStream(*streams.back());
            }
            return streams.back();
        };
        platform.makeWriter =
            [this](const WriterSettings& settings,
                   std::weak_ptr<StreamWriterDelegate> delegate) -> StreamWriterResult {
            if (writerRefusal) {
                return *writerRefusal;
            }
            writers.push_back(std::make_shared<FakeWriter>(settings, delegate));
            if (configureWriter) {
                configureWriter(*writers.back());
            }
            return writers.back();
        };
        platform.main = main;
        platform.trace = trace;
        platform.tasks = tasks;
        platform.videoQueue = video;
        caster = NativeCaster::create(store, platform);
        caster->setStateChanged([this](bool casting, const std::string& text) {
            reports.push_back({casting, text});
        });
    }
    void TearDown() override {
        for (auto& stream : streams) {
            stream->pendingStart = nullptr;
        }
        main->clear();
        tasks->clear();
        video->clear();
    }

    void pump() {
        while (main->runAll() + tasks->runAll() + video->runAll() > 0) {
        }
    }
    void cast() {
        caster->start();
        picker->select();
        pump();
    }
    template <class Media>
    void deliver(const Media& media) {
        streams.back()->deliver(media);
        pump();
    }
    bool idle() const {
        return !caster->isCasting() && !caster->isStopping() && !caster->hasStream();
    }
    long count(const std::string& prefix) const {
        const auto lines = trace->lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }

    std::shared_ptr<LiveHLSStore> store = std::make_shared<LiveHLSStore>();
    std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> tasks = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> video = std::make_shared<ManualQueue>();
    std::shared_ptr<FakePicker> picker = std::make_shared<FakePicker>();
    std::shared_ptr<RecordingTrace> trace = std::make_shared<RecordingTrace>();
    std::optional<Error> streamError, writerRefusal;
    std::function<void(FakeStream&)> configureStream;
    std::function<void(FakeWriter&)> configureWriter;
    std::vector<std::shared_ptr<FakeStream>> streams;
    std::vector<std::shared_ptr<FakeWriter>> writers;
    std::shared_ptr<NativeCaster> caster;
    std::vector<Report> reports;
};

// Scripts read this log: the whole of it for one cast, in order.
TEST_F(CasterTest, ANormalCastTracesItsWholeCourse) {
    caster->start();
    picker->select(1512, 982, 2);
    EXPECT_TRUE(caster->isCasting());  // accepted at once, before the task runs
    pump();
    const CastRecipe recipe = castRecipe({1512, 982}, 2);
    EXPECT_EQ(writers.back()->settings, recipe.writer);
    EXPECT_EQ(streams.back()->configuration.width, recipe.writer.width);
    EXPECT_EQ(streams.back()->configuration.height, recipe.writer.height);
    EXPECT_EQ(streams.back()->configuration.sampleRate, recipe.writer.audio_rate_hz);

    deliver(audio(900));  // before the first frame: dropped
    deliver(frame(1000));
    deliver(audio(990));  // before the session: dropped
    deliver(audio(1010));
    deliver(frame(1033));
    auto segments = writers.back()->delegate.lock();
    segments->writerDidOutputSegment(makeBuffer("init"), SegmentKind::initialization);
    segments->writerDidOutputSegment(makeBuffer("media"), SegmentKind::media);
    EXPECT_EQ(asText(*store->initData()), "init");
    caster->stop();
    pump();

    EXPECT_THAT(
        trace->lines(),
        ElementsAre(
            "presenting content picker", "picker returned selection",
            "selected content size 3024x1964; encoding 1920x1246", "creating HLS writer",
            "asset writer prepared", "screen and system audio outputs added",
            "ScreenCaptureKit capture started", "received first screen frame; starting writer",
            "writer start result: true; status 1; error nil", "first video sample appended: true",
            "first audio sample appended: true", "writer emitted initialization segment (4 bytes)",
            "writer emitted media segment (5 bytes)",
            "capture fully stopped; ready to share again"));
    EXPECT_THAT(reports,
                ElementsAre(Report{false, "Choose an app or the entire screen\u2026"},
                            Report{true, kCasting}, Report{false, "Stopping\u2026"}, kReady));
    const FakeWriter& writer = *writers.back();
    EXPECT_THAT(writer.started, ElementsAre(at(1000)));
    EXPECT_THAT(writer.video, ElementsAre(at(1000), at(1033)));
    EXPECT_THAT(writer.audio, ElementsAre(at(1010)));
    EXPECT_EQ(writer.cancels, 1);
    EXPECT_FALSE(streams.back()->running);
    EXPECT_FALSE(storeActive(*store));
    EXPECT_TRUE(idle());

    // The next cast starts from clean fields: a new writer, started by its own first frame.
    cast();
    deliver(frame(5000));
    EXPECT_THAT(writers.back()->started, ElementsAre(at(5000)));
    EXPECT_EQ(count("first video sample appended: true"), 2);
}

struct Busy {
    const char* name;
    std::function<void(CasterTest&)> reach;
    Report refusal;
};

class BusyCaster : public CasterTest, public testing::WithParamInterface<Busy> {};

TEST_P(BusyCaster, RefusesAnotherStartAndIgnoresAnotherSelection) {
    GetParam().reach(*this);
    const int presented = picker->presented;
    caster->start();
    EXPECT_EQ(reports.back(), GetParam().refusal);
    EXPECT_EQ(picker->presented, presented);
    picker->select();
    pump();
    EXPECT_EQ(streams.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    States, BusyCaster,
    testing::Values(Busy{"Starting",
                         [](CasterTest& t) {
                             t.configureStream = [](FakeStream& s) { s.holdStart = true; };
                             t.cast();
                         },
                         {true, "Already casting"}},
                    Busy{"Casting", [](CasterTest& t) { t.cast(); }, {true, "Already casting"}},
                    Busy{"EndedByItsCapture",
                         [](CasterTest& t) {
                             t.cast();
                             t.streams.back()->end();
                             t.pump();
                         },
                         {false, "Already casting"}},
                    Busy{"Stopping",
                         [](CasterTest& t) {
                             t.cast();
                             t.caster->stop();
                         },
                         {false, "Finishing the previous cast\u2026"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CasterTest, PickerOutcomesAreReportedOnTheMainThread) {
    caster->start();
    picker->cancel();
    EXPECT_EQ(reports.size(), 1u);  // posted, not yet run
    main->runAll();
    EXPECT_EQ(reports.back(), kReady);
    caster->start();
    picker->fail(Error::withDescription("test.picker", 1, "No screen to share."));
    main->runAll();
    EXPECT_EQ(reports.back(), (Report{false, "No screen to share."}));
    EXPECT_EQ(picker->observers.size(), 1u);  // observed once for the caster's life
    EXPECT_EQ(picker->presented, 2);
    EXPECT_TRUE(idle());
}

struct StartFailure {
    const char* name;
    std::function<void(CasterTest&)> arrange;
    std::string report;
};

class FailedStart : public CasterTest, public testing::WithParamInterface<StartFailure> {};

TEST_P(FailedStart, EndsTheAttemptWithItsTextAndLeavesTheCasterReady) {
    GetParam().arrange(*this);
    cast();
    EXPECT_EQ(reports.back(), (Report{false, GetParam().report}));
    EXPECT_EQ(count("capture startup error: "), 1);
    EXPECT_TRUE(idle());
    EXPECT_FALSE(storeActive(*store));
    for (const auto& stream : streams) {
        EXPECT_EQ(stream->stops, 0);  // a failed stream is dropped, not stopped
    }
    streamError.reset();
    writerRefusal.reset();
    configureStream = nullptr;
    cast();
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailedStart,
    testing::Values(StartFailure{"WriterRefusesTheSettings",
                                 [](CasterTest& t) {
                                     t.writerRefusal =
                                         Error::withDescription("test.writer", 1, "No H.264.");
                                 },
                                 "Could not prepare the streaming encoder."},
                    StartFailure{"StreamCannotBeMade",
                                 [](CasterTest& t) { t.streamError = FakeStream::kFailure; },
                                 "Capture is unavailable."},
                    StartFailure{"ScreenOutputRefused",
                                 [](CasterTest& t) {
                                     t.configureStream = [](FakeStream& s) {
                                         s.failOutput = StreamOutputType::screen;
                                     };
                                 },
                                 "Capture is unavailable."},
                    StartFailure{"AudioOutputRefused",
                                 [](CasterTest& t) {
                                     t.configureStream = [](FakeStream& s) {
                                         s.failOutput = StreamOutputType::audio;
                                     };
                                 },
                                 "Capture is unavailable."},
                    StartFailure{"CaptureDoesNotStart",
                                 [](CasterTest& t) {
                                     t.configureStream = [](FakeStream& s) { s.failStart = true; };
                                 },
                                 "Capture is unavailable."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CasterTest, AWriterRefusalIsTracedWithItsReason) {
    writerRefusal = Error::withDescription("test.writer", 1, "No H.264 encoder.");
    cast();
    EXPECT_EQ(count("asset writer prepared"), 0);
    EXPECT_EQ(count("capture startup error: Error Domain=Skylark Code=2 "), 1);
    EXPECT_EQ(count("the writer cannot encode this cast: No H.264 encoder."), 1);
}

// A stop at each wait of the capture start: the stopped cast never comes back.
struct StopPoint {
    const char* name;
    std::function<void(CasterTest&)> reach;
};

class StopDuringStart : public CasterTest, public testing::WithParamInterface<StopPoint> {};

TEST_P(StopDuringStart, TheStoppedCastNeverComesBack) {
    configureStream = [](FakeStream& s) { s.holdStart = true; };
    caster->start();
    picker->select();
    GetParam().reach(*this);
    caster->stop();
    pump();
    if (!streams.empty() && streams.back()->pendingStart) {
        streams.back()->completeStart();  // started after all: must be stopped again
        pump();
    }
    EXPECT_EQ(std::count(reports.begin(), reports.end(), Report{true, kCasting}), 0);
    EXPECT_EQ(reports.back(), kReady);
    EXPECT_TRUE(idle());
    EXPECT_FALSE(storeActive(*store));
    for (const auto& stream : streams) {
        EXPECT_FALSE(stream->running);
    }
    for (const auto& writer : writers) {
        EXPECT_TRUE(writer->started.empty());
        EXPECT_LE(writer->cancels, 1);
    }
    configureStream = nullptr;
    cast();
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
}

INSTANTIATE_TEST_SUITE_P(
    Waits, StopDuringStart,
    testing::Values(StopPoint{"BeforeTheTask", [](CasterTest&) {}},
                    StopPoint{"BeforeTheWriterHandover", [](CasterTest& t) { t.tasks->runOne(); }},
                    StopPoint{"BeforeTheStream",
                              [](CasterTest& t) {
                                  t.tasks->runOne();
                                  t.video->runOne();
                              }},
                    StopPoint{"WhileTheCaptureStarts", [](CasterTest& t) { t.pump(); }},
                    StopPoint{"BeforeTheCastingReport",
                              [](CasterTest& t) {
                                  t.configureStream = nullptr;
                                  while (t.tasks->runAll() + t.video->runAll() > 0) {
                                  }
                              }}),
    [](const auto& info) { return std::string(info.param.name); });

struct WriterTrouble {
    const char* name;
    bool whileWriting;  // fails after the first frame, or at its start
    std::optional<Error> error;
    std::string report;
    std::string line;
};

class TroubledWriter : public CasterTest, public testing::WithParamInterface<WriterTrouble> {};

TEST_P(TroubledWriter, IsReportedOnceAndTheCastWaitsForTheUser) {
    const WriterTrouble& p = GetParam();
    configureWriter = [&](FakeWriter& w) {
        w.startFailure = p.whileWriting ? std::nullopt : p.error;
        w.failsToStart = !p.whileWriting;
    };
    cast();
    deliver(frame(1000));
    if (p.whileWriting) {
        writers.back()->fail(p.error);
    }
    for (int i = 1; i < 4; ++i) {
        deliver(frame(1000 + 33 * i));
        deliver(audio(1000 + 33 * i));
    }
    EXPECT_EQ(reports.back(), (Report{false, p.report}));
    EXPECT_EQ(std::count(reports.begin(), reports.end(), reports.back()), 1);
    EXPECT_EQ(count(p.line), 1);
    EXPECT_EQ(writers.back()->video.size(), p.whileWriting ? 1u : 0u);
    EXPECT_TRUE(writers.back()->audio.empty());
    EXPECT_FALSE(storeActive(*store));
    EXPECT_TRUE(caster->isCasting());  // the capture goes on until the user stops it
}

const Error kWriterError = Error::withDescription("test.writer", 5, "Encoder gone.");

INSTANTIATE_TEST_SUITE_P(
    Failures, TroubledWriter,
    testing::Values(WriterTrouble{"StartFails", false, kWriterError, "Encoder gone.",
                                  "writer start result: false; status 3; error Optional(Error "
                                  "Domain=test.writer Code=5 "},
                    WriterTrouble{"StartFailsWithoutError", false, std::nullopt,
                                  "The streaming encoder could not start.",
                                  "writer start result: false; status 3; error nil"},
                    WriterTrouble{"FailsWhileWriting", true, kWriterError, "Encoder gone.",
                                  "writer failed: Optional(Error Domain=test.writer Code=5 "},
                    WriterTrouble{"FailsWithoutError", true, std::nullopt,
                                  "The streaming encoder stopped.", "writer failed: nil"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CasterTest, RefusedAppendsAreTracedAndUnreadyOnesDropped) {
    configureWriter = [](FakeWriter& w) { w.appendResult = false; };
    cast();
    deliver(frame(1000));
    deliver(audio(1010));
    EXPECT_EQ(count("first video sample appended: false"), 1);
    EXPECT_EQ(count("video append failed; writer status 1, error nil"), 1);
    EXPECT_EQ(count("audio append failed; writer status 1, error nil"), 1);
    writers.back()->ready = false;
    deliver(frame(1033));
    deliver(audio(1043));
    EXPECT_EQ(writers.back()->video.size(), 1u);
    EXPECT_EQ(writers.back()->audio.size(), 1u);
}

TEST_F(CasterTest, OnlyTheCurrentStreamOfARunningCastCanEndIt) {
    cast();
    auto first = streams.back();
    caster->stop();
    first->end();  // while stopping
    pump();
    cast();
    first->end();  // a stream of an earlier cast
    pump();
    EXPECT_TRUE(caster->isCasting());
    EXPECT_EQ(reports.back(), (Report{true, kCasting}));
    streams.back()->end();
    pump();
    EXPECT_EQ(reports.back(), (Report{false, "The window closed."}));
    EXPECT_FALSE(caster->isCasting());
    EXPECT_FALSE(storeActive(*store));
    caster->stop();  // the user's way out: the stream is torn down
    pump();
    EXPECT_EQ(reports.back(), kReady);
    EXPECT_TRUE(idle());
}

}  // namespace
}  // namespace skylark::test
