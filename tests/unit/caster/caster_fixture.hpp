#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "caster/native_caster.hpp"
#include "hls/live_hls_store.hpp"
#include "unit/caster/fakes.hpp"

namespace skylark::test {

struct Report {
    bool casting;
    std::string text;
    friend bool operator==(const Report&, const Report&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Report& r) {
        return out << "(" << (r.casting ? "true" : "false") << ", \"" << r.text << "\")";
    }
};

inline const std::string kEllipsis = "\xE2\x80\xA6";  // U+2026 in UTF-8
inline const std::string kChoose = "Choose an app or the entire screen" + kEllipsis;
inline const std::string kStopping = "Stopping" + kEllipsis;
inline const std::string kFinishing = "Finishing the previous cast" + kEllipsis;
inline const std::string kCasting = "Casting screen + system audio";

// A caster over fakes, with three manual queues (main thread, task pool, videoQueue) that the
// test runs on its own thread: the whole state machine runs without threads.
class CasterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CasterPlatform platform;
        platform.picker = picker;
        platform.makeStream = streams.factory();
        platform.makeWriter = writers.factory();
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
        for (auto& stream : streams.streams()) {
            stream->dropPending();
        }
        main->clear();
        tasks->clear();
        video->clear();
    }

    // Runs all three queues until none has work left.
    void pump() {
        while (main->runAll() + tasks->runAll() + video->runAll() > 0) {
        }
    }

    // start(), a selection and everything that follows: a running cast.
    void startCasting(std::shared_ptr<const ContentFilter> filter = makeFilter()) {
        caster->start();
        picker->select(std::move(filter));
        pump();
    }

    // Delivers one sample through the stream onto videoQueue and runs it.
    void deliver(const SampleBuffer& sample, StreamOutputType type) {
        streams.last()->deliver(sample, type);
        video->runAll();
    }

    // A running cast whose writer has started at 1000 ms.
    void startWriting() {
        startCasting();
        deliver(frame(1000), StreamOutputType::screen);
    }

    // Lines traced since the last call.
    std::vector<std::string> newLines() {
        auto lines = trace->lines();
        std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(seenLines_),
                                       lines.end());
        seenLines_ = lines.size();
        return fresh;
    }
    std::vector<Report> newReports() {
        std::vector<Report> fresh(reports.begin() + static_cast<std::ptrdiff_t>(seenReports_),
                                  reports.end());
        seenReports_ = reports.size();
        return fresh;
    }
    bool storeActiveWithContent() { return store->isLive(); }

    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<LiveHLSStore> store = std::make_shared<LiveHLSStore>();
    std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> tasks = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> video = std::make_shared<ManualQueue>();
    std::shared_ptr<FakePicker> picker = std::make_shared<FakePicker>(log);
    FakeStreamFactory streams{log};
    FakeWriterFactory writers{log};
    std::shared_ptr<RecordingTrace> trace = std::make_shared<RecordingTrace>();
    std::shared_ptr<NativeCaster> caster;
    std::vector<Report> reports;

  private:
    std::size_t seenLines_ = 0;
    std::size_t seenReports_ = 0;
};

}  // namespace skylark::test
