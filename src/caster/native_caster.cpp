#include "caster/native_caster.hpp"

#include <string>
#include <utility>

#include "caster/cast_recipe.hpp"
#include "common/serial_queue.hpp"

namespace skylark {

namespace {

// Status texts. Those ending in "…" end in the single character U+2026.
constexpr const char* kTextReady = "Ready";
constexpr const char* kTextChoose = "Choose an app or the entire screen\u2026";
constexpr const char* kTextFinishing = "Finishing the previous cast\u2026";
constexpr const char* kTextAlreadyCasting = "Already casting";
constexpr const char* kTextStopping = "Stopping\u2026";

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

std::shared_ptr<NativeCaster> NativeCaster::create(std::shared_ptr<LiveHLSStore> store,
                                                   CasterPlatform platform) {
    return std::shared_ptr<NativeCaster>(new NativeCaster(std::move(store), std::move(platform)));
}

// The feed is the caster's own member and runs only inside the caster's calls, so its hooks may
// use `this`.
NativeCaster::NativeCaster(std::shared_ptr<LiveHLSStore> store, CasterPlatform platform)
    : store_(std::move(store)),
      platform_(withDefaults(std::move(platform))),
      feed_([trace = platform_.trace](std::string_view line) { trace->trace(line); },
            [this](std::string message) {
                store_->stop();
                postReport(false, std::move(message));
            }) {}

NativeCaster::~NativeCaster() = default;

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
    return lifecycle_.isCasting();
}

bool NativeCaster::isStopping() const {
    return lifecycle_.isStopping();
}

bool NativeCaster::hasStream() const {
    return lifecycle_.hasStream();
}

// ---- Start and the picker -------------------------------------------------------------------

void NativeCaster::start() {
    if (const auto refusal = lifecycle_.refusal()) {
        report(refusal->casting, refusal->stopping ? kTextFinishing : kTextAlreadyCasting);
        return;
    }
    // A fixed trace text, read by scripts: keep it as it is.
    trace("presenting content picker");
    report(false, kTextChoose);
    platform_.picker->present(castPickerConfiguration(), weak_from_this());
}

void NativeCaster::pickerDidChoose(ContentPicker& /*picker*/,
                                   std::shared_ptr<const ContentFilter> filter) {
    // A fixed trace text, read by scripts: keep it as it is.
    trace("picker returned selection");
    if (!filter) {
        return;  // no selection to capture (the picker's contract rules this out)
    }
    const std::optional<std::uint64_t> cast = lifecycle_.accept();
    if (!cast) {
        return;
    }
    beginCapture(*cast, std::move(filter));
}

// The picker's other outcomes are reported on the main thread, like every report that does not
// come from start() or stop() themselves.
void NativeCaster::pickerDidCancel(ContentPicker& /*picker*/) {
    postReport(false, kTextReady);
}

void NativeCaster::pickerDidFail(const Error& error) {
    postReport(false, error.localizedDescription());
}

// ---- Media (videoQueue) and segments (the writer's thread) ----------------------------------

void NativeCaster::streamDidOutputVideo(const VideoFrame& frame) {
    feed_.video(frame);
}

void NativeCaster::streamDidOutputAudio(const AudioBuffer& buffer) {
    feed_.audio(buffer);
}

void NativeCaster::writerDidOutputSegment(ByteBuffer data, SegmentKind kind) {
    if (!data) {
        data = makeBuffer(Bytes{});  // stored as a present, empty segment
    }
    if (kind == SegmentKind::part) {
        store_->addPart(std::move(data));  // untraced: thirty a second would drown the trace
        return;
    }
    const bool initialization = kind == SegmentKind::initialization;
    // A fixed trace text, read by scripts: keep it as it is.
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
    std::optional<std::shared_ptr<CaptureStream>> stream = lifecycle_.beginStop();
    if (!stream) {
        return;
    }
    store_->stop();
    report(false, kTextStopping);
    platform_.tasks->post(
        [self = shared_from_this(), stream = std::move(*stream)] { self->stopTaskBegin(stream); });
}

void NativeCaster::stopTaskBegin(std::shared_ptr<CaptureStream> stream) {
    // The teardown runs on videoQueue once the capture has stopped, after every frame and
    // buffer already queued there.
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
    feed_.reset();
    lifecycle_.takeStream().reset();  // released outside the lock
    platform_.tasks->post([self = shared_from_this()] { self->stopTaskFinish(); });
}

void NativeCaster::stopTaskFinish() {
    lifecycle_.finishStop();
    // A fixed trace text, read by scripts: keep it as it is.
    trace("capture fully stopped; ready to share again");
    postReport(false, kTextReady);
}

void NativeCaster::streamDidStopWithError(CaptureStream& stream, const Error& error) {
    // Only the current stream of a starting or running cast can end it; a report from a stream
    // that was dropped, or one that comes while a stop is under way, changes nothing. Casting
    // is cleared before the store is stopped, so that a capture start resetting the store at
    // this moment sees it and stops the store again.
    if (!lifecycle_.streamEnded(stream)) {
        return;
    }
    store_->stop();
    postReport(false, error.localizedDescription());
}

}  // namespace skylark
