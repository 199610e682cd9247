#include "caster/native_caster.hpp"

#include <string>
#include <utility>

#include "caster/encoding_size.hpp"
#include "common/serial_queue.hpp"

namespace skylark {

namespace {

// Status texts. Those ending in "…" end in the single character U+2026.
constexpr const char* kTextReady = "Ready";
constexpr const char* kTextChoose = "Choose an app or the entire screen\u2026";
constexpr const char* kTextFinishing = "Finishing the previous cast\u2026";
constexpr const char* kTextAlreadyCasting = "Already casting";
constexpr const char* kTextCasting = "Casting screen + system audio";
constexpr const char* kTextStopping = "Stopping\u2026";
constexpr const char* kTextEncoderNotPrepared = "Could not prepare the streaming encoder.";
constexpr const char* kTextEncoderCouldNotStart = "The streaming encoder could not start.";
constexpr const char* kTextEncoderStopped = "The streaming encoder stopped.";

// The application's one error of its own.
Error encoderNotPreparedError() {
    return Error::withDescription(Error::kSkylarkDomain, 2, kTextEncoderNotPrepared);
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

std::string statusText(const SegmentWriter& writer) {
    return std::to_string(static_cast<std::int32_t>(writer.status()));
}

CasterPlatform withDefaults(CasterPlatform platform) {
    if (!platform.trace) {
        platform.trace = std::make_shared<TraceLog>();
    }
    if (!platform.tasks) {
        platform.tasks = std::make_shared<SerialQueue>(NativeCaster::kTaskQueueLabel);
    }
    if (!platform.videoQueue) {
        platform.videoQueue = std::make_shared<SerialQueue>(NativeCaster::kVideoQueueLabel);
    }
    return platform;
}

}  // namespace

// What one capture start carries from step to step.
struct NativeCaster::PreparedWriter {
    std::shared_ptr<SegmentWriter> writer;
    std::shared_ptr<SegmentWriterInput> videoInput;
    std::shared_ptr<SegmentWriterInput> audioInput;
};

struct NativeCaster::StartTask {
    std::uint64_t serial = 0;  // the cast this task starts
    std::shared_ptr<const ContentFilter> filter;
    StreamConfiguration configuration;
    PreparedWriter prepared;
    std::shared_ptr<CaptureStream> stream;
};

std::shared_ptr<NativeCaster> NativeCaster::create(std::shared_ptr<LiveHLSStore> store,
                                                   CasterPlatform platform) {
    return std::shared_ptr<NativeCaster>(new NativeCaster(std::move(store), std::move(platform)));
}

NativeCaster::NativeCaster(std::shared_ptr<LiveHLSStore> store, CasterPlatform platform)
    : store_(std::move(store)), platform_(withDefaults(std::move(platform))) {}

NativeCaster::~NativeCaster() = default;

// ---- Common ---------------------------------------------------------------------------------

void NativeCaster::trace(std::string_view message) {
    platform_.trace->trace(message);
}

void NativeCaster::report(bool casting, const std::string& text) {
    if (stateChanged_) {
        stateChanged_(casting, text);
    }
}

void NativeCaster::postReport(bool casting, std::string text) {
    platform_.main->post([self = shared_from_this(), casting, text = std::move(text)] {
        self->report(casting, text);
    });
}

void NativeCaster::setStateChanged(StateHandler handler) {
    stateChanged_ = std::move(handler);
}

bool NativeCaster::isCasting() const {
    std::lock_guard guard(stateLock_);
    return isCasting_;
}

bool NativeCaster::isStopping() const {
    std::lock_guard guard(stateLock_);
    return isStopping_;
}

bool NativeCaster::hasStream() const {
    std::lock_guard guard(stateLock_);
    return stream_ != nullptr;
}

std::string NativeCaster::writerErrorText(const SegmentWriter& writer) const {
    // The rendering of an optional error value: "nil", or the present value marked as such.
    const std::optional<Error> error = writer.error();
    return error ? "Optional(" + error->fullDescription() + ")" : "nil";
}

// ---- Start and the picker -------------------------------------------------------------------

void NativeCaster::start() {
    bool refuse = false;
    bool casting = false;
    bool stopping = false;
    {
        std::lock_guard guard(stateLock_);
        if (isCasting_ || isStopping_ || stream_) {
            refuse = true;
            casting = isCasting_;
            stopping = isStopping_;
        }
    }
    if (refuse) {
        report(casting, stopping ? kTextFinishing : kTextAlreadyCasting);
        return;
    }

    trace("presenting content picker");
    ContentPicker& picker = *platform_.picker;
    bool addObserver = false;
    {
        std::lock_guard guard(stateLock_);
        if (!observingPicker_) {
            observingPicker_ = true;
            addObserver = true;
        }
    }
    if (addObserver) {
        picker.addObserver(weak_from_this());
    }
    ContentPickerConfiguration configuration;
    configuration.allowedPickerModes = PickerMode::singleDisplay | PickerMode::singleApplication;
    configuration.allowsChangingSelectedContent = false;
    picker.setDefaultConfiguration(configuration);
    picker.setActive(true);
    report(false, kTextChoose);
    picker.present();
}

void NativeCaster::contentSharingPickerDidUpdate(ContentPicker& /*picker*/,
                                                 std::shared_ptr<const ContentFilter> filter) {
    trace("picker returned selection");
    beginCapture(std::move(filter));
}

// The reports of the picker's callbacks are carried to the main thread, like every report that
// does not come from start() or stop() themselves.
void NativeCaster::contentSharingPickerDidCancel(ContentPicker& /*picker*/) {
    postReport(false, kTextReady);
}

void NativeCaster::contentSharingPickerStartDidFail(const Error& error) {
    postReport(false, error.localizedDescription());
}

// ---- Capture start -------------------------------------------------------------------------
//
// The task's waits (for its turn on the task queue, for the writer's fields to be stored on
// videoQueue, for the capture to start, for its report to run on the main thread) split it into
// steps. After each wait the task checks whether stop() has ended its cast; if so it abandons
// the cast: it drops what it built and has not handed over, stops a capture that it started,
// touches no flag, and makes no report (the stop reports). A stopped cast never comes back.

bool NativeCaster::isAbandonedLocked(std::uint64_t serial) const {
    return stoppedSerial_ >= serial;
}

void NativeCaster::traceAbandoned() {
    trace("capture start abandoned: the cast was stopped");
}

void NativeCaster::beginCapture(std::shared_ptr<const ContentFilter> filter) {
    if (!filter) {
        return;  // no selection to capture (the picker's contract rules this out)
    }
    auto task = std::make_shared<StartTask>();
    {
        std::lock_guard guard(stateLock_);
        if (isCasting_ || isStopping_ || stream_) {
            return;
        }
        isCasting_ = true;
        task->serial = ++castSerial_;
    }
    task->filter = std::move(filter);
    platform_.tasks->post([self = shared_from_this(), task] { self->startTaskBegin(task); });
}

void NativeCaster::startTaskBegin(std::shared_ptr<StartTask> task) {
    {
        std::unique_lock guard(stateLock_);
        if (isAbandonedLocked(task->serial)) {
            guard.unlock();
            traceAbandoned();
            return;
        }
    }
    // Steps 1 to 6: the configuration and the encoding size.
    StreamConfiguration& configuration = task->configuration;
    const ContentSize content = task->filter->contentRect();
    const double scale = static_cast<double>(task->filter->pointPixelScale());
    const EncodingSize size = computeEncodingSize(content.width, content.height, scale);
    configuration.width = size.width;
    configuration.height = size.height;
    trace("selected content size " + std::to_string(size.sourceWidth) + "x" +
          std::to_string(size.sourceHeight) + "; encoding " + std::to_string(size.width) + "x" +
          std::to_string(size.height));
    configuration.minimumFrameInterval = MediaTime::make(1, 30);
    configuration.queueDepth = 5;
    configuration.pixelFormat = ImageBuffer::kPixelFormatBGRA;
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;

    // Step 7: the writer. Its fields belong to videoQueue, so they are stored there.
    if (std::optional<Error> error = prepareWriter(size.width, size.height, task->prepared)) {
        startTaskFailed(task, *error);
        return;
    }
    platform_.videoQueue->post(
        [self = shared_from_this(), task] { self->startTaskStoreWriter(task); });
}

std::optional<Error> NativeCaster::prepareWriter(std::int64_t width, std::int64_t height,
                                                 PreparedWriter& prepared) {
    trace("creating HLS writer");
    std::shared_ptr<SegmentWriter> writer = platform_.makeWriter();
    if (!writer) {
        return encoderNotPreparedError();
    }
    writer->setOutputFileTypeProfile(FileTypeProfile::mpeg4AppleHLS);
    writer->setPreferredOutputSegmentInterval(MediaTime::fromSeconds(0.25, 600));
    writer->setDelegate(weak_from_this());

    VideoOutputSettings video;
    video.codec = VideoOutputSettings::Codec::h264;
    video.width = width;
    video.height = height;
    video.averageBitRate = 6000000.0;
    video.maxKeyFrameInterval = 8.0;
    video.maxKeyFrameIntervalDuration = 0.25;
    AudioOutputSettings audio;
    audio.formatID = AudioOutputSettings::kFormatMPEG4AAC;
    audio.sampleRate = 48000;
    audio.numberOfChannels = 2;
    audio.encoderBitRate = 192000;

    std::shared_ptr<SegmentWriterInput> videoInput = writer->makeVideoInput(video);
    if (videoInput) {
        videoInput->setExpectsMediaDataInRealTime(true);
    }
    std::shared_ptr<SegmentWriterInput> audioInput = writer->makeAudioInput(audio);
    if (audioInput) {
        audioInput->setExpectsMediaDataInRealTime(true);
    }
    // Both questions before either input is added: a refusal leaves the writer without inputs.
    if (!videoInput || !audioInput || !writer->canAdd(*videoInput) ||
        !writer->canAdd(*audioInput)) {
        return encoderNotPreparedError();
    }
    writer->add(videoInput);
    writer->add(audioInput);
    prepared = PreparedWriter{std::move(writer), std::move(videoInput), std::move(audioInput)};
    return std::nullopt;
}

void NativeCaster::startTaskStoreWriter(std::shared_ptr<StartTask> task) {
    // On videoQueue. A stop's teardown also runs here, so either it has run (and the cast is
    // abandoned: the new writer is dropped unstarted) or it runs after this and clears them.
    bool abandoned = false;
    {
        std::lock_guard guard(stateLock_);
        abandoned = isAbandonedLocked(task->serial);
    }
    if (abandoned) {
        task->prepared = PreparedWriter{};
        traceAbandoned();
        return;
    }
    writer_ = task->prepared.writer;
    videoInput_ = task->prepared.videoInput;
    audioInput_ = task->prepared.audioInput;
    task->prepared = PreparedWriter{};
    platform_.tasks->post([self = shared_from_this(), task] { self->startTaskCreateStream(task); });
}

void NativeCaster::startTaskCreateStream(std::shared_ptr<StartTask> task) {
    {
        std::unique_lock guard(stateLock_);
        if (isAbandonedLocked(task->serial)) {
            guard.unlock();
            traceAbandoned();
            return;
        }
    }
    trace("asset writer prepared");

    // Steps 9 to 11: the stream with its two outputs on videoQueue.
    CaptureStreamResult created =
        platform_.makeStream(task->filter, task->configuration, weak_from_this());
    if (Error* error = std::get_if<Error>(&created)) {
        startTaskFailed(task, *error);
        return;
    }
    std::shared_ptr<CaptureStream> stream = std::get<std::shared_ptr<CaptureStream>>(created);
    if (!stream) {
        startTaskFailed(task, Error::withDescription(Error::kSkylarkDomain, 3,
                                                     "The capture stream could not be created."));
        return;
    }
    if (std::optional<Error> error = stream->addStreamOutput(
            weak_from_this(), StreamOutputType::screen, platform_.videoQueue)) {
        startTaskFailed(task, *error);
        return;
    }
    if (std::optional<Error> error = stream->addStreamOutput(
            weak_from_this(), StreamOutputType::audio, platform_.videoQueue)) {
        startTaskFailed(task, *error);
        return;
    }
    trace("screen and system audio outputs added");

    // Step 13: the stream becomes the caster's, unless a stop came first (then it is dropped
    // unstarted; it has delivered nothing).
    {
        std::unique_lock guard(stateLock_);
        if (isAbandonedLocked(task->serial)) {
            guard.unlock();
            traceAbandoned();
            return;
        }
        stream_ = stream;
    }
    task->stream = stream;

    // Step 14. A stop (or an unexpected end) marks its flag before it stops the store, so
    // checking after the reset catches one that stopped the store just before the reset.
    store_->reset();
    bool abandoned = false;
    bool ended = false;
    {
        std::lock_guard guard(stateLock_);
        abandoned = isAbandonedLocked(task->serial);
        ended = !isCasting_;
    }
    if (abandoned || ended) {
        store_->stop();
        if (abandoned) {
            traceAbandoned();
        }
        return;  // the stop (or the end's report) takes it from here
    }

    // Step 15.
    stream->startCapture([self = shared_from_this(), task](std::optional<Error> error) {
        self->platform_.tasks->post(
            [self, task, error = std::move(error)] { self->startTaskCaptureStarted(task, error); });
    });
}

void NativeCaster::startTaskCaptureStarted(std::shared_ptr<StartTask> task,
                                           std::optional<Error> error) {
    // The task gives up its reference here, on the task thread: the completion that carried
    // the task may be released by the stream's own thread, which must not drop the stream.
    std::shared_ptr<CaptureStream> stream = std::move(task->stream);
    if (error) {
        startTaskFailed(task, *error);
        return;
    }
    trace("ScreenCaptureKit capture started");
    bool abandoned = false;
    {
        std::lock_guard guard(stateLock_);
        abandoned = isAbandonedLocked(task->serial);
    }
    if (abandoned) {
        // The stop has taken this stream and stops it too; stopping it here as well makes sure
        // that a capture which started after that stop does not keep running.
        traceAbandoned();
        stream->stopCapture([](std::optional<Error>) {});
        return;
    }
    platform_.main->post([self = shared_from_this(), task] { self->startTaskReportCasting(task); });
}

void NativeCaster::startTaskReportCasting(std::shared_ptr<StartTask> task) {
    // On the main thread, where stop() runs: a stop either came before this check (no report)
    // or comes after the report.
    bool abandoned = false;
    bool casting = false;
    {
        std::lock_guard guard(stateLock_);
        abandoned = isAbandonedLocked(task->serial);
        casting = isCasting_;
    }
    if (abandoned) {
        traceAbandoned();
        return;
    }
    if (casting) {
        report(true, kTextCasting);
    }
    // Not casting without a stop: the capture ended by itself meanwhile and its own report
    // (false, the error) stands.
}

void NativeCaster::startTaskFailed(std::shared_ptr<StartTask> task, const Error& error) {
    trace("capture startup error: " + error.fullDescription());
    bool abandoned = false;
    std::shared_ptr<CaptureStream> dropped;
    {
        std::lock_guard guard(stateLock_);
        abandoned = isAbandonedLocked(task->serial);
        if (!abandoned) {
            dropped.swap(stream_);  // cleared here, released outside the lock
            isCasting_ = false;
        }
    }
    dropped.reset();
    task->stream.reset();
    if (abandoned) {
        traceAbandoned();
        return;
    }
    store_->stop();
    postReport(false, error.localizedDescription());
}

// ---- Sample pipeline (videoQueue) ----------------------------------------------------------

void NativeCaster::streamDidOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) {
    if (!sample.isValid) {
        return;
    }
    const std::shared_ptr<SegmentWriter> writer = writer_;
    if (!writer) {
        return;
    }
    if (type == StreamOutputType::screen) {
        if (!sample.attachments || sample.attachments->empty()) {
            return;
        }
        const std::optional<std::int64_t> status = sample.attachments->front().status;
        if (!status || *status != static_cast<std::int64_t>(FrameStatus::complete)) {
            return;
        }
        if (!sample.imageBuffer) {
            return;
        }
    }
    const MediaTime time = sample.presentationTimeStamp;

    if (type == StreamOutputType::screen && !writingStarted_ && !writerStartAttempted_) {
        writerStartAttempted_ = true;
        trace("received first screen frame; starting writer");
        writer->setInitialSegmentStartTime(time);
        writingStarted_ = writer->startWriting();
        trace(std::string("writer start result: ") + boolText(writingStarted_) + "; status " +
              statusText(*writer) + "; error " + writerErrorText(*writer));
        if (writingStarted_) {
            sessionStartTime_ = time;
            writer->startSession(time);
        } else {
            const std::optional<Error> error = writer->error();
            std::string message = error ? error->localizedDescription() : kTextEncoderCouldNotStart;
            store_->stop();
            postReport(false, std::move(message));
        }
    }
    if (!writingStarted_) {
        return;
    }
    if (sessionStartTime_ && compare(time, *sessionStartTime_) < 0) {
        return;
    }
    if (writer->status() == SegmentWriterStatus::failed) {
        if (!reportedWriterFailure_) {
            reportedWriterFailure_ = true;
            store_->stop();
            const std::optional<Error> error = writer->error();
            std::string message = error ? error->localizedDescription() : kTextEncoderStopped;
            trace("writer failed: " + writerErrorText(*writer));
            postReport(false, std::move(message));
        }
        return;
    }
    if (type == StreamOutputType::screen && videoInput_ && videoInput_->isReadyForMoreMediaData()) {
        const bool appended = videoInput_->append(sample);
        if (!loggedFirstVideoAppend_) {
            loggedFirstVideoAppend_ = true;
            trace(std::string("first video sample appended: ") + boolText(appended));
        }
        if (!appended) {
            trace("video append failed; writer status " + statusText(*writer) + ", error " +
                  writerErrorText(*writer));
        }
    } else if (type == StreamOutputType::audio && audioInput_ &&
               audioInput_->isReadyForMoreMediaData()) {
        const bool appended = audioInput_->append(sample);
        if (!loggedFirstAudioAppend_) {
            loggedFirstAudioAppend_ = true;
            trace(std::string("first audio sample appended: ") + boolText(appended));
        }
        if (!appended) {
            trace("audio append failed; writer status " + statusText(*writer) + ", error " +
                  writerErrorText(*writer));
        }
    }
}

// ---- Segment output (the writer's thread) --------------------------------------------------

void NativeCaster::segmentWriterDidOutputSegment(ByteBuffer data, SegmentType type) {
    if (!data) {
        data = makeBuffer(Bytes{});  // stored as a present, empty segment
    }
    const bool initialization = type == SegmentType::initialization;
    trace(std::string("writer emitted ") + (initialization ? "initialization" : "media") +
          " segment (" + std::to_string(data->size()) + " bytes)");
    if (initialization) {
        store_->addInitialization(std::move(data));
    } else {
        store_->addSegment(std::move(data));
    }
}

// ---- Stop and teardown ---------------------------------------------------------------------

void NativeCaster::stop() {
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(stateLock_);
        if (isStopping_) {
            return;
        }
        if (!isCasting_ && !stream_) {
            return;
        }
        isStopping_ = true;
        stream = stream_;
        isCasting_ = false;
        stoppedSerial_ = castSerial_;  // a capture start still under way abandons its cast
    }
    store_->stop();
    report(false, kTextStopping);
    platform_.tasks->post(
        [self = shared_from_this(), stream = std::move(stream)] { self->stopTaskBegin(stream); });
}

void NativeCaster::stopTaskBegin(std::shared_ptr<CaptureStream> stream) {
    // Step 1, then the teardown on videoQueue, after every sample already queued there.
    auto teardown = [self = shared_from_this()] {
        self->platform_.videoQueue->post([self] { self->stopTaskTeardown(); });
    };
    if (stream) {
        stream->stopCapture([teardown](std::optional<Error>) { teardown(); });
    } else {
        teardown();
    }
}

void NativeCaster::stopTaskTeardown() {
    // Steps 2 to 4, on videoQueue, which owns the writer and the per-cast fields.
    if (writer_) {
        writer_->cancelWriting();
    }
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(stateLock_);
        stream.swap(stream_);
    }
    stream.reset();  // outside the lock
    writer_.reset();
    videoInput_.reset();
    audioInput_.reset();
    writingStarted_ = false;
    writerStartAttempted_ = false;
    loggedFirstVideoAppend_ = false;
    loggedFirstAudioAppend_ = false;
    reportedWriterFailure_ = false;
    sessionStartTime_.reset();
    platform_.tasks->post([self = shared_from_this()] { self->stopTaskFinish(); });
}

void NativeCaster::stopTaskFinish() {
    // Steps 5 to 7.
    {
        std::lock_guard guard(stateLock_);
        isStopping_ = false;
    }
    trace("capture fully stopped; ready to share again");
    postReport(false, kTextReady);
}

void NativeCaster::streamDidStopWithError(CaptureStream& stream, const Error& error) {
    // Only the current stream of a starting or running cast can end it; a report from a stream
    // that was dropped, or one that comes while a stop is under way, changes nothing.
    // isCasting is cleared before the store is stopped, so that a capture start resetting the
    // store at this moment sees it and stops the store again (the store reset step above).
    {
        std::lock_guard guard(stateLock_);
        if (stream_.get() != &stream || !isCasting_) {
            return;
        }
        isCasting_ = false;
    }
    store_->stop();
    postReport(false, error.localizedDescription());
}

}  // namespace skylark
