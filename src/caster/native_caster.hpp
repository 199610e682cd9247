#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "caster/capture_platform.hpp"
#include "caster/cast_lifecycle.hpp"
#include "caster/stream_writer.hpp"
#include "caster/writer_feed.hpp"
#include "common/executor.hpp"
#include "common/main_dispatcher.hpp"
#include "common/trace_log.hpp"
#include "hls/live_hls_store.hpp"

namespace skylark {

// What the caster is given to work with: the platform's implementations (real ones from the
// application shell, fakes in tests) and the places its work runs.
struct CasterPlatform {
    // The process's one content picker. Required.
    std::shared_ptr<ContentPicker> picker;
    // Creates one unstarted capture stream per cast. Required.
    CaptureStreamFactory makeStream;
    // Creates one writer per cast. Required.
    StreamWriterFactory makeWriter;
    // The main thread. Required.
    std::shared_ptr<MainDispatcher> main;
    // Where the trace lines go; empty: a TraceLog at TraceLog::kDefaultPath.
    std::shared_ptr<Trace> trace;
    // Where the capture-start and stop tasks run, off the main thread; empty: a SerialQueue of
    // the caster's own ("<id>.caster.tasks"). Tests pass a queue that they run by hand.
    std::shared_ptr<Executor> tasks;
    // The serial sample queue `videoQueue`; empty: a SerialQueue labelled kVideoQueueLabel.
    // Tests pass a queue that they run by hand. Must be serial.
    std::shared_ptr<Executor> videoQueue;
};

// The native sharing pipeline: presents the content picker, captures the chosen display or
// application with the system's audio, encodes both into quarter-second fMP4 HLS segments and
// hands them to the shared LiveHLSStore. Its parts: the recipe (cast_recipe.hpp), the locked
// lifecycle (cast_lifecycle.hpp) and the writer feed on videoQueue (writer_feed.hpp).
//
// Create it with create() (it is shared: its tasks hold it, the platform holds it weakly). The
// application keeps its one caster for the life of the process.
//
// Threads:
// - start(), stop(), setStateChanged() and isCasting(): the main thread.
// - The state handler is always called on the main thread: synchronously inside start() and
//   stop(), posted through the MainDispatcher for every other report.
// - The platform callbacks (the four base classes) run on the platform's threads as their
//   interfaces say; the sample callback on videoQueue.
// - isCasting(), isStopping() and hasStream() may be read from any thread.
class NativeCaster final : public ContentPickerObserver,
                           public CaptureStreamOutput,
                           public CaptureStreamDelegate,
                           public StreamWriterDelegate,
                           public std::enable_shared_from_this<NativeCaster> {
  public:
    static constexpr const char* kApplicationIdentifier = "org.skylark.Skylark";
    static constexpr const char* kVideoQueueLabel = "org.skylark.Skylark.capture.video";
    static constexpr const char* kTaskQueueLabel = "org.skylark.Skylark.caster.tasks";

    // The state handler: whether the caster is casting, and a line for the status menu.
    using StateHandler = std::function<void(bool casting, const std::string& text)>;

    // Touches neither the picker nor the store, writes no trace line and reports nothing.
    static std::shared_ptr<NativeCaster> create(std::shared_ptr<LiveHLSStore> store,
                                                CasterPlatform platform);

    // Presents the content picker, or refuses while a cast is starting, running, ended by the
    // capture or stopping ("Already casting" / "Finishing the previous cast…"). Main thread.
    void start();
    // Ends the cast: store inactive, "Stopping…", then a stop task that stops the capture,
    // cancels the writer, clears the per-cast fields and reports "Ready". Does nothing while
    // idle or already stopping. Main thread.
    void stop();
    // Sets (or clears, with an empty function) the state handler. Main thread, before a cast.
    void setStateChanged(StateHandler handler);

    // A cast has been accepted and is starting or running.
    bool isCasting() const;
    // A stop is under way.
    bool isStopping() const;
    // A capture stream is held (from capture start's outputs until the end of teardown).
    bool hasStream() const;

    // ---- ContentPickerObserver (the picker's thread) ----
    void pickerDidChoose(ContentPicker& picker,
                         std::shared_ptr<const ContentFilter> filter) override;
    void pickerDidCancel(ContentPicker& picker) override;
    void pickerDidFail(const Error& error) override;

    // ---- CaptureStreamOutput (videoQueue) ----
    void streamDidOutputVideo(const VideoFrame& frame) override;
    void streamDidOutputAudio(const AudioBuffer& buffer) override;

    // ---- CaptureStreamDelegate (the capture's thread) ----
    void streamDidStopWithError(CaptureStream& stream, const Error& error) override;

    // ---- StreamWriterDelegate (the writer's thread) ----
    void writerDidOutputSegment(ByteBuffer data, SegmentKind kind) override;

    NativeCaster(const NativeCaster&) = delete;
    NativeCaster& operator=(const NativeCaster&) = delete;
    ~NativeCaster() override;

  private:
    struct StartTask;

    NativeCaster(std::shared_ptr<LiveHLSStore> store, CasterPlatform platform);

    void trace(std::string_view message);
    // Calls the handler if one is set. Main thread only.
    void report(bool casting, const std::string& text);
    // Posts a report to the main thread.
    void postReport(bool casting, std::string text);

    // Capture start (capture_start.cpp), in steps split at its waits. After each wait the task
    // checks whether a stop has abandoned its cast.
    void beginCapture(std::uint64_t cast, std::shared_ptr<const ContentFilter> filter);
    void startTaskBegin(std::shared_ptr<StartTask> task);
    void startTaskAttachWriter(std::shared_ptr<StartTask> task);
    void startTaskCreateStream(std::shared_ptr<StartTask> task);
    void startTaskCaptureStarted(std::shared_ptr<StartTask> task, std::optional<Error> error);
    void startTaskReportCasting(std::shared_ptr<StartTask> task);
    void startTaskFailed(std::shared_ptr<StartTask> task, const Error& error);
    // Whether a stop has abandoned the cast (and if so, says so in the trace).
    bool abandoned(const StartTask& task);
    void traceAbandoned();

    // The stop task, in steps split at its waits.
    void stopTaskBegin(std::shared_ptr<CaptureStream> stream);
    void stopTaskTeardown();
    void stopTaskFinish();

    // ---- fixed at construction ----
    const std::shared_ptr<LiveHLSStore> store_;
    const CasterPlatform platform_;

    CastLifecycle lifecycle_;
    WriterFeed feed_;  // videoQueue only

    // ---- main thread only ----
    StateHandler stateChanged_;
};

}  // namespace skylark
