#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "caster/capture_platform.hpp"
#include "caster/segment_writer.hpp"
#include "caster/trace_log.hpp"
#include "common/executor.hpp"
#include "common/main_dispatcher.hpp"
#include "common/media_time.hpp"
#include "hls/live_hls_store.hpp"

namespace skylark {

// What the caster is given to work with: the platform's implementations (real ones from the
// application shell, fakes in tests) and the places its work runs.
struct CasterPlatform {
    // The process's one content picker. Required.
    std::shared_ptr<ContentPicker> picker;
    // Creates one unstarted capture stream per cast. Required.
    CaptureStreamFactory makeStream;
    // Creates one segment writer per cast. Required.
    SegmentWriterFactory makeWriter;
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

// The native sharing pipeline: presents the content picker,
// captures the chosen display or application with the system's audio, encodes both into
// quarter-second fMP4 HLS segments and hands them to the shared LiveHLSStore.
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
                           public SegmentWriterDelegate,
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
    void contentSharingPickerDidUpdate(ContentPicker& picker,
                                       std::shared_ptr<const ContentFilter> filter) override;
    void contentSharingPickerDidCancel(ContentPicker& picker) override;
    void contentSharingPickerStartDidFail(const Error& error) override;

    // ---- CaptureStreamOutput (videoQueue) ----
    void streamDidOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override;

    // ---- CaptureStreamDelegate (the capture's thread) ----
    void streamDidStopWithError(CaptureStream& stream, const Error& error) override;

    // ---- SegmentWriterDelegate (the writer's thread) ----
    void segmentWriterDidOutputSegment(ByteBuffer data, SegmentType type) override;

    NativeCaster(const NativeCaster&) = delete;
    NativeCaster& operator=(const NativeCaster&) = delete;
    ~NativeCaster() override;

  private:
    struct StartTask;
    struct PreparedWriter;

    NativeCaster(std::shared_ptr<LiveHLSStore> store, CasterPlatform platform);

    void trace(std::string_view message);
    // Calls the handler if one is set. Main thread only.
    void report(bool casting, const std::string& text);
    // Posts a report to the main thread.
    void postReport(bool casting, std::string text);

    void beginCapture(std::shared_ptr<const ContentFilter> filter);
    // Builds the writer and inputs without storing them.
    std::optional<Error> prepareWriter(std::int64_t width, std::int64_t height,
                                       PreparedWriter& prepared);
    // Capture start, in steps split at its waits.
    void startTaskBegin(std::shared_ptr<StartTask> task);
    void startTaskStoreWriter(std::shared_ptr<StartTask> task);
    void startTaskCreateStream(std::shared_ptr<StartTask> task);
    void startTaskCaptureStarted(std::shared_ptr<StartTask> task, std::optional<Error> error);
    void startTaskReportCasting(std::shared_ptr<StartTask> task);
    void startTaskFailed(std::shared_ptr<StartTask> task, const Error& error);
    // Whether a stop() has ended the cast of `serial` (state lock held).
    bool isAbandonedLocked(std::uint64_t serial) const;
    void traceAbandoned();

    // The stop task, in steps split at its waits.
    void stopTaskBegin(std::shared_ptr<CaptureStream> stream);
    void stopTaskTeardown();
    void stopTaskFinish();

    std::string writerErrorText(const SegmentWriter& writer) const;

    // ---- fixed at construction ----
    const std::shared_ptr<LiveHLSStore> store_;
    const CasterPlatform platform_;

    // ---- lifecycle state: guarded by stateLock_, never held while calling out ----
    mutable std::mutex stateLock_;
    std::shared_ptr<CaptureStream> stream_;
    bool isCasting_ = false;
    bool isStopping_ = false;
    bool observingPicker_ = false;
    // Serial number of the latest accepted cast, and of the latest cast that stop() ended: a
    // capture start whose serial is not above stoppedSerial_ abandons its cast.
    std::uint64_t castSerial_ = 0;
    std::uint64_t stoppedSerial_ = 0;

    // ---- per-cast pipeline state: confined to videoQueue ----
    std::shared_ptr<SegmentWriter> writer_;
    std::shared_ptr<SegmentWriterInput> videoInput_;
    std::shared_ptr<SegmentWriterInput> audioInput_;
    bool writingStarted_ = false;
    bool writerStartAttempted_ = false;
    bool loggedFirstVideoAppend_ = false;
    bool loggedFirstAudioAppend_ = false;
    bool reportedWriterFailure_ = false;
    std::optional<MediaTime> sessionStartTime_;

    // ---- main thread only ----
    StateHandler stateChanged_;
};

}  // namespace skylark
