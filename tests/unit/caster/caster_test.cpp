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
    t.run("SP");
    EXPECT_TRUE(t.caster->isCasting());  // accepted at once, before the task runs
    t.run("p");
    const CastRecipe recipe = castRecipe({1512, 982}, 2);
    EXPECT_EQ(t.writers.back()->settings, recipe.writer);
    EXPECT_EQ(t.streams.back()->configuration.width, recipe.writer.width);
    EXPECT_EQ(t.streams.back()->configuration.sampleRate, recipe.writer.audio_rate_hz);
    EXPECT_EQ(t.picker->modes, kCast.picker_modes);

    t.deliver(audio(900));  // before the first frame: dropped
    t.deliver(frame(1000));
    t.deliver(audio(990));  // before the session: dropped
    t.deliver(audio(1010));
    t.deliver(frame(1033));
    auto segments = t.writers.back()->delegate.lock();
    segments->writerDidOutputSegment(makeBuffer("init"), SegmentKind::initialization);
    segments->writerDidOutputSegment(makeBuffer("media"), SegmentKind::media);
    EXPECT_EQ(asText(*t.store->initData()), "init");
    t.run("sp");

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

    // The next cast starts from clean fields: a new writer, started by its own first frame.
    t.run("c");
    t.deliver(frame(5000));
    EXPECT_THAT(t.writers.back()->started, ElementsAre(at(5000)));
    EXPECT_EQ(t.trace->count("first video sample appended: true"), 2);
}

// Each script (letters: Rig::run) ends in its status line and state. In every case a capture
// of an idle caster does not run, the store is not active unless casting, no writer is
// cancelled twice, and an idle caster casts again.
TEST(Caster, StartStopAndFailuresInEveryOrder) {
    const Report ready{false, "Ready"}, casting{true, kCasting}, already{true, "Already casting"},
        unavailable{false, "Capture is unavailable."}, gone{false, "Encoder gone."},
        unprepared{false, "Could not prepare the streaming encoder."},
        noStart{false, "The streaming encoder could not start."},
        stopped{false, "The streaming encoder stopped."};
    const std::string failed = "capture startup error: Error Domain=test Code=7 ",
                      noH264 = "the writer cannot encode this cast: No H.264.";
    const struct {
        const char* script;
        Report last;
        bool casting, idle;
        std::size_t streams;
        long castingReports;
        std::string line = "";  // traced exactly once
    } cases[] = {
        {"SC", {false, "Choose an app or the entire screen\u2026"}, false, true, 0, 0},
        {"SCp", ready, false, true, 0, 0},  // cancelled, reported on the main thread
        {"Sxp", {false, "No screen to share."}, false, true, 0, 0},
        {"hcSPp", already, true, false, 1, 0},                       // refused while starting...
        {"cSPp", already, true, false, 1, 1},                        // ...casting...
        {"cepSPp", {false, "Already casting"}, false, false, 1, 1},  // ...ended by its capture
        {"csSP", {false, "Finishing the previous cast\u2026"}, false, false, 1, 1},
        {"Wc", unprepared, false, true, 0, 0, noH264},
        {"Xc", unavailable, false, true, 0, 0, failed},
        {"oc", unavailable, false, true, 1, 0, failed},
        {"Oc", unavailable, false, true, 1, 0, failed},
        {"Fc", unavailable, false, true, 1, 0, failed},
        // Stopped at each wait of the capture start: before the task, the writer's handover,
        // the stream, while the capture starts, before the casting report. Never comes back.
        {"hSPspa", ready, false, true, 0, 0},
        {"hSPtspa", ready, false, true, 0, 0},
        {"hSPtvspa", ready, false, true, 0, 0},
        {"hSPpspa", ready, false, true, 1, 0},
        {"hSPnwspa", ready, false, true, 1, 0},
        // Only the current stream of a running cast can end it.
        {"cspcEp", casting, true, false, 2, 2},
        {"cspcEpep", {false, "The window closed."}, false, false, 2, 2},
        {"cspcEpepsp", ready, false, true, 2, 2},
        // A writer that fails is reported once; the capture goes on until the user stops it.
        {"Bcddd", gone, true, false, 1, 1, "writer start result: false; status 3; error Optional("},
        {"bcddd", noStart, true, false, 1, 1, "writer start result: false; status 3; error nil"},
        {"cdfddd", gone, true, false, 1, 1, "writer failed: Optional(Error Domain=test Code=5 "},
        {"cdgddd", stopped, true, false, 1, 1, "writer failed: nil"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        Rig t;
        t.run(c.script);
        EXPECT_EQ(t.reports.back(), c.last);
        EXPECT_EQ(t.caster->isCasting(), c.casting);
        EXPECT_EQ(t.idle(), c.idle);
        EXPECT_EQ(t.streams.size(), c.streams);
        EXPECT_EQ(std::count(t.reports.begin(), t.reports.end(), casting), c.castingReports);
        EXPECT_EQ(std::adjacent_find(t.reports.begin(), t.reports.end()), t.reports.end());
        EXPECT_TRUE(c.line.empty() || t.trace->count(c.line) == 1) << c.line;
        EXPECT_TRUE(c.casting || !t.store->isLive());
        for (const auto& stream : t.streams) {
            EXPECT_TRUE(!c.idle || !stream->running());
        }
        for (const auto& writer : t.writers) {
            EXPECT_LE(writer->cancels, 1);
        }
        if (c.idle) {
            t.run("rc");
            EXPECT_EQ(t.reports.back(), casting);
        }
    }
}

TEST(CastRecipe, EncodingSizesAndTheSettingsThatCarryThem) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    const std::tuple<double, double, double, EncodingSize> cases[] = {
        {1512, 982, 2, {3024, 1964, 1920, 1246}},  // a HiDPI laptop
        {801, 601, 1, {801, 601, 800, 600}},       // odd sizes made even
        {1919, 1080, 1, {1919, 1080, 1918, 1078}},
        {500, 3000, 1, {500, 3000, 500, 3000}},  // no ceiling on the height
        {100.9, 50.9, 1.5, {151, 76, 150, 74}},
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
