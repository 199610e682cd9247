// The caster's state machine over fakes, its three queues run by hand on the test's thread.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "caster/cast_recipe.hpp"
#include "unit/caster/fakes.hpp"

namespace skylark::test {
namespace {

using testing::ElementsAre;

const std::string kCasting = "Casting screen + system audio";
const Report kReady{false, "Ready"};

// Scripts read this log: the whole of it for one cast, in order.
TEST(Caster, ANormalCastTracesItsWholeCourse) {
    Rig t;
    t.caster->start();
    t.picker->select();
    EXPECT_TRUE(t.caster->isCasting());  // accepted at once, before the task runs
    t.pump();
    const CastRecipe recipe = castRecipe({1512, 982}, 2);
    EXPECT_EQ(t.writers.back()->settings, recipe.writer);
    EXPECT_EQ(t.streams.back()->configuration.width, recipe.writer.width);
    EXPECT_EQ(t.streams.back()->configuration.sampleRate, recipe.writer.audio_rate_hz);

    t.deliver(audio(900));  // before the first frame: dropped
    t.deliver(frame(1000));
    t.deliver(audio(990));  // before the session: dropped
    t.deliver(audio(1010));
    t.deliver(frame(1033));
    auto segments = t.writers.back()->delegate.lock();
    segments->writerDidOutputSegment(makeBuffer("init"), SegmentKind::initialization);
    segments->writerDidOutputSegment(makeBuffer("media"), SegmentKind::media);
    EXPECT_EQ(asText(*t.store->initData()), "init");
    t.caster->stop();
    t.pump();

    EXPECT_THAT(
        t.trace->lines,
        ElementsAre(
            "presenting content picker", "picker returned selection",
            "selected content size 3024x1964; encoding 1920x1246", "creating HLS writer",
            "asset writer prepared", "screen and system audio outputs added",
            "ScreenCaptureKit capture started", "received first screen frame; starting writer",
            "writer start result: true; status 1; error nil", "first video sample appended: true",
            "first audio sample appended: true", "writer emitted initialization segment (4 bytes)",
            "writer emitted media segment (5 bytes)",
            "capture fully stopped; ready to share again"));
    EXPECT_THAT(t.reports,
                ElementsAre(Report{false, "Choose an app or the entire screen\u2026"},
                            Report{true, kCasting}, Report{false, "Stopping\u2026"}, kReady));
    const FakeWriter& writer = *t.writers.back();
    EXPECT_THAT(writer.started, ElementsAre(at(1000)));
    EXPECT_THAT(writer.video, ElementsAre(at(1000), at(1033)));
    EXPECT_THAT(writer.audio, ElementsAre(at(1010)));
    EXPECT_EQ(writer.cancels, 1);
    EXPECT_FALSE(t.streams.back()->running());
    EXPECT_FALSE(storeActive(*t.store));
    EXPECT_TRUE(t.idle());

    // The next cast starts from clean fields: a new writer, started by its own first frame.
    t.cast();
    t.deliver(frame(5000));
    EXPECT_THAT(t.writers.back()->started, ElementsAre(at(5000)));
    EXPECT_EQ(t.trace->count("first video sample appended: true"), 2);
}

TEST(Caster, WhileBusyRefusesToStartAndIgnoresSelections) {
    const std::pair<std::function<void(Rig&)>, Report> cases[] = {
        {[](Rig& t) {  // starting
             t.configureStream = [](FakeStream& s) { s.hold = true; };
             t.cast();
         },
         {true, "Already casting"}},
        {[](Rig& t) { t.cast(); }, {true, "Already casting"}},
        {[](Rig& t) {  // ended by its capture, not yet stopped
             t.cast();
             t.streams.back()->end();
             t.pump();
         },
         {false, "Already casting"}},
        {[](Rig& t) {  // stopping
             t.cast();
             t.caster->stop();
         },
         {false, "Finishing the previous cast\u2026"}},
    };
    for (const auto& [reach, refusal] : cases) {
        Rig t;
        reach(t);
        t.caster->start();
        EXPECT_EQ(t.reports.back(), refusal);
        EXPECT_EQ(t.picker->presented, 1);
        t.picker->select();
        t.pump();
        EXPECT_EQ(t.streams.size(), 1u) << refusal.second;
    }
}

TEST(Caster, PickerOutcomesAreReportedOnTheMainThread) {
    Rig t;
    t.caster->start();
    t.picker->observer()->contentSharingPickerDidCancel(*t.picker);
    EXPECT_EQ(t.reports.size(), 1u);  // posted, not yet run
    t.main->runAll();
    EXPECT_EQ(t.reports.back(), kReady);
    t.caster->start();
    t.picker->observer()->contentSharingPickerStartDidFail(
        Error::withDescription("test.picker", 1, "No screen to share."));
    t.main->runAll();
    EXPECT_EQ(t.reports.back(), (Report{false, "No screen to share."}));
    EXPECT_EQ(t.picker->observers.size(), 1u);  // observed once for the caster's life
    EXPECT_TRUE(t.idle());
}

TEST(Caster, AFailedCaptureStartEndsTheAttemptWithItsText) {
    const std::string
        encoder = "Could not prepare the streaming encoder.",
        platform = "capture startup error: Error Domain=test Code=7 \"Capture is unavailable.\"";
    const std::tuple<std::function<void(Rig&)>, std::string, std::string> cases[] = {
        {[](Rig& t) { t.writerRefusal = Error::withDescription("test.writer", 1, "No H.264."); },
         encoder, "the writer cannot encode this cast: No H.264."},
        {[](Rig& t) { t.streamError = FakeStream::kFailure; }, "Capture is unavailable.", platform},
        {[](Rig& t) {
             t.configureStream = [](FakeStream& s) { s.failOutput = StreamOutputType::screen; };
         },
         "Capture is unavailable.", platform},
        {[](Rig& t) {
             t.configureStream = [](FakeStream& s) { s.failOutput = StreamOutputType::audio; };
         },
         "Capture is unavailable.", platform},
        {[](Rig& t) { t.configureStream = [](FakeStream& s) { s.failStart = true; }; },
         "Capture is unavailable.", platform},
    };
    for (const auto& [arrange, text, line] : cases) {
        Rig t;
        arrange(t);
        t.cast();
        EXPECT_EQ(t.reports.back(), (Report{false, text}));
        EXPECT_EQ(t.trace->count(line), 1) << line;
        EXPECT_TRUE(t.idle());
        EXPECT_FALSE(storeActive(*t.store));
        for (const auto& stream : t.streams) {
            EXPECT_EQ(stream->stops, 0);  // a failed stream is dropped, not stopped
        }
        t.streamError = t.writerRefusal = std::nullopt;
        t.configureStream = [](FakeStream&) {};
        t.cast();
        EXPECT_EQ(t.reports.back(), (Report{true, kCasting})) << text;
    }
}

// A stop at each wait of the capture start: the stopped cast never comes back.
TEST(Caster, AStopDuringTheCaptureStartIsFinal) {
    const std::function<void(Rig&)> waits[] = {
        [](Rig&) {},                                           // before the start task
        [](Rig& t) { t.tasks->runOne(); },                     // before the writer's handover
        [](Rig& t) { t.tasks->runOne(), t.video->runOne(); },  // before the stream
        [](Rig& t) { t.pump(); },                              // while the capture starts
        [](Rig& t) {                                           // before the casting report
            t.configureStream = [](FakeStream&) {};
            while (t.tasks->runAll() + t.video->runAll() > 0) {
            }
        },
    };
    for (const auto& reach : waits) {
        Rig t;
        t.configureStream = [](FakeStream& s) { s.hold = true; };
        t.caster->start();
        t.picker->select();
        reach(t);
        t.caster->stop();
        t.pump();
        while (!t.streams.empty() && t.streams.back()->answer()) {  // a late start is stopped
            t.pump();
        }
        EXPECT_EQ(std::count(t.reports.begin(), t.reports.end(), Report{true, kCasting}), 0);
        EXPECT_EQ(t.reports.back(), kReady);
        EXPECT_TRUE(t.idle());
        EXPECT_FALSE(storeActive(*t.store));
        for (const auto& stream : t.streams) {
            EXPECT_FALSE(stream->running());
        }
        for (const auto& writer : t.writers) {
            EXPECT_TRUE(writer->started.empty());
            EXPECT_LE(writer->cancels, 1);
        }
        t.configureStream = [](FakeStream&) {};
        t.cast();
        EXPECT_EQ(t.reports.back(), (Report{true, kCasting}));
    }
}

TEST(Caster, AWriterThatFailsIsReportedOnceAndTheCastWaitsForTheUser) {
    const Error error = Error::withDescription("test.writer", 5, "Encoder gone.");
    struct Case {
        bool whileWriting;  // or at its start
        std::optional<Error> error;
        std::string report, line;
    };
    const Case cases[] = {
        {false, error, "Encoder gone.",
         "writer start result: false; status 3; error Optional(Error Domain=test.writer Code=5 "},
        {false, std::nullopt, "The streaming encoder could not start.",
         "writer start result: false; status 3; error nil"},
        {true, error, "Encoder gone.", "writer failed: Optional(Error Domain=test.writer Code=5 "},
        {true, std::nullopt, "The streaming encoder stopped.", "writer failed: nil"},
    };
    for (const Case& c : cases) {
        Rig t;
        t.configureWriter = [&](FakeWriter& w) {
            w.failsToStart = !c.whileWriting;
            w.startFailure = c.error;
        };
        t.cast();
        t.deliver(frame(1000));
        if (c.whileWriting) {
            t.writers.back()->fail(c.error);
        }
        for (int i = 1; i < 4; ++i) {
            t.deliver(frame(1000 + 33 * i));
            t.deliver(audio(1000 + 33 * i));
        }
        EXPECT_EQ(t.reports.back(), (Report{false, c.report}));
        EXPECT_EQ(std::count(t.reports.begin(), t.reports.end(), t.reports.back()), 1);
        EXPECT_EQ(t.trace->count(c.line), 1) << c.line;
        EXPECT_EQ(t.writers.back()->video.size(), c.whileWriting ? 1u : 0u);
        EXPECT_TRUE(t.writers.back()->audio.empty());
        EXPECT_FALSE(storeActive(*t.store));
        EXPECT_TRUE(t.caster->isCasting());  // the capture goes on until the user stops it
    }
}

TEST(Caster, OnlyTheCurrentStreamOfARunningCastCanEndIt) {
    Rig t;
    t.cast();
    auto first = t.streams.back();
    t.caster->stop();
    first->end();  // while stopping
    t.pump();
    t.cast();
    first->end();  // a stream of an earlier cast
    t.pump();
    EXPECT_EQ(t.reports.back(), (Report{true, kCasting}));
    t.streams.back()->end();
    t.pump();
    EXPECT_EQ(t.reports.back(), (Report{false, "The window closed."}));
    EXPECT_FALSE(t.caster->isCasting());
    EXPECT_FALSE(storeActive(*t.store));
    t.caster->stop();  // the user's way out: the stream is torn down
    t.pump();
    EXPECT_EQ(t.reports.back(), kReady);
    EXPECT_TRUE(t.idle());
}

TEST(CastRecipe, EncodingSizesAndTheSettingsThatCarryThem) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    const std::tuple<double, double, double, EncodingSize> cases[] = {
        {1512, 982, 2, {3024, 1964, 1920, 1246}},  // a HiDPI laptop
        {2560, 1440, 1, {2560, 1440, 1920, 1080}},
        {801, 601, 1, {801, 601, 800, 600}},  // odd sizes made even
        {1919, 1080, 1, {1919, 1080, 1918, 1078}},
        {500, 3000, 1, {500, 3000, 500, 3000}},  // no ceiling on the height
        {0.4, 0.3, 1, {2, 2, 2, 2}},
        {100.9, 50.9, 1.5, {151, 76, 150, 74}},
        {1920, 1, 1, {1920, 2, 1920, 2}},
        {nan, 100, 1, {2, 100, 2, 100}},
        {100, 100, -1, {2, 2, 2, 2}},
        {1, inf, 1, {2, 1099511627776, 2, 1099511627776}},
    };
    for (const auto& [width, height, scale, size] : cases) {
        const CastRecipe recipe = castRecipe({width, height}, scale);
        EXPECT_EQ(recipe.size, size) << width << "x" << height << " at " << scale;
        // The capture delivers what the writer encodes.
        EXPECT_EQ(recipe.writer.width, size.width);
        EXPECT_EQ(recipe.stream.width, size.width);
        EXPECT_EQ(recipe.stream.height, recipe.writer.height);
        EXPECT_EQ(recipe.stream.sampleRate, recipe.writer.audio_rate_hz);
        EXPECT_EQ(recipe.stream.channelCount, recipe.writer.audio_channels);
    }
}

}  // namespace
}  // namespace skylark::test
