#include <string>
#include <utility>

#include "caster/cast_recipe.hpp"
#include "caster/native_caster.hpp"

// The capture start of NativeCaster: from an accepted selection to a running capture, in steps
// split at its waits (its turn on the task queue, the writer's handover on videoQueue, the
// capture's start, the report on the main thread).

namespace skylark {

namespace {

constexpr const char* kTextCasting = "Casting screen + system audio";

// The application's one error of its own: the writer cannot take the cast's settings.
Error encoderNotPreparedError() {
    return Error{Error::kSkylarkDomain, 2, "Could not prepare the streaming encoder."};
}

}  // namespace

// What one capture start carries from step to step.
struct NativeCaster::StartTask {
    std::uint64_t cast = 0;
    std::shared_ptr<const ContentFilter> filter;
    StreamConfiguration configuration;
    std::shared_ptr<StreamWriter> writer;  // until handed to the feed
    std::shared_ptr<CaptureStream> stream;
};

void NativeCaster::beginCapture(std::uint64_t cast, std::shared_ptr<const ContentFilter> filter) {
    auto task = std::make_shared<StartTask>();
    task->cast = cast;
    task->filter = std::move(filter);
    platform_.tasks->post([self = shared_from_this(), task] { self->startTaskBegin(task); });
}

// ---- Capture start -------------------------------------------------------------------------
//
// An abandoned start drops what it built and has not handed over, stops a capture that it
// started, touches no flag and makes no report (the stop reports). A stopped cast never comes
// back.

bool NativeCaster::abandoned(const StartTask& task) {
    if (!lifecycle_.abandoned(task.cast)) {
        return false;
    }
    traceAbandoned();
    return true;
}

void NativeCaster::traceAbandoned() {
    trace("capture start abandoned: the cast was stopped");
}

void NativeCaster::startTaskBegin(std::shared_ptr<StartTask> task) {
    if (abandoned(*task)) {
        return;
    }
    const CastRecipe recipe = castRecipe(task->filter->contentRect(),
                                         static_cast<double>(task->filter->pointPixelScale()));
    task->configuration = recipe.stream;
    const EncodingSize& size = recipe.size;
    // A fixed trace text, read by scripts: keep it as it is.
    trace("selected content size " + std::to_string(size.sourceWidth) + "x" +
          std::to_string(size.sourceHeight) + "; encoding " + std::to_string(size.width) + "x" +
          std::to_string(size.height));

    // A fixed trace text, read by scripts: keep it as it is.
    trace("creating HLS writer");
    StreamWriterResult made = platform_.makeWriter(recipe.writer, weak_from_this());
    if (const Error* reason = std::get_if<Error>(&made)) {
        const std::string why = reason->localizedDescription();
        startTaskFailed(task, encoderNotPreparedError());
        trace("the writer cannot encode this cast: " + why);
        return;
    }
    task->writer = std::get<std::shared_ptr<StreamWriter>>(std::move(made));
    if (!task->writer) {
        startTaskFailed(task, encoderNotPreparedError());
        return;
    }
    // The feed belongs to videoQueue, so the writer is handed over there.
    platform_.videoQueue->post(
        [self = shared_from_this(), task] { self->startTaskAttachWriter(task); });
}

void NativeCaster::startTaskAttachWriter(std::shared_ptr<StartTask> task) {
    // On videoQueue, where a stop's teardown also runs: either it has run (the cast is
    // abandoned and the writer dropped unstarted) or it runs after this and resets the feed.
    std::shared_ptr<StreamWriter> writer = std::move(task->writer);
    if (abandoned(*task)) {
        return;
    }
    feed_.attach(std::move(writer));
    platform_.tasks->post([self = shared_from_this(), task] { self->startTaskCreateStream(task); });
}

void NativeCaster::startTaskCreateStream(std::shared_ptr<StartTask> task) {
    if (abandoned(*task)) {
        return;
    }
    // A fixed trace text, read by scripts: keep it as it is.
    trace("asset writer prepared");

    CaptureStreamResult created =
        platform_.makeStream(task->filter, task->configuration, weak_from_this());
    if (const Error* error = std::get_if<Error>(&created)) {
        startTaskFailed(task, *error);
        return;
    }
    std::shared_ptr<CaptureStream> stream = std::get<std::shared_ptr<CaptureStream>>(created);
    if (!stream) {
        startTaskFailed(
            task, Error{Error::kSkylarkDomain, 3, "The capture stream could not be created."});
        return;
    }
    for (StreamOutputType type : {StreamOutputType::screen, StreamOutputType::audio}) {
        if (auto error = stream->addStreamOutput(weak_from_this(), type, platform_.videoQueue)) {
            startTaskFailed(task, *error);
            return;
        }
    }
    // A fixed trace text, read by scripts: keep it as it is.
    trace("screen and system audio outputs added");

    // The stream becomes the caster's, unless a stop came first (then it is dropped unstarted;
    // it has delivered nothing).
    if (!lifecycle_.adoptStream(task->cast, stream)) {
        traceAbandoned();
        return;
    }
    task->stream = stream;

    // A stop (or an unexpected end) clears its flag before it stops the store, so checking
    // after the reset catches one that stopped the store just before the reset.
    store_->reset();
    const CastLifecycle::Standing standing = lifecycle_.standing(task->cast);
    if (standing.abandoned || !standing.casting) {
        store_->stop();
        if (standing.abandoned) {
            traceAbandoned();
        }
        return;  // the stop (or the end's report) takes it from here
    }

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
    // A fixed trace text, read by scripts: keep it as it is.
    trace("ScreenCaptureKit capture started");
    if (abandoned(*task)) {
        // The stop has taken this stream and stops it too; stopping it here as well makes sure
        // that a capture which started after that stop does not keep running.
        stream->stopCapture([](std::optional<Error>) {});
        return;
    }
    platform_.main->post([self = shared_from_this(), task] { self->startTaskReportCasting(task); });
}

void NativeCaster::startTaskReportCasting(std::shared_ptr<StartTask> task) {
    // On the main thread, where stop() runs: a stop either came before this check (no report)
    // or comes after the report. Not casting without a stop: the capture ended by itself
    // meanwhile and its own report stands.
    const CastLifecycle::Standing standing = lifecycle_.standing(task->cast);
    if (standing.abandoned) {
        traceAbandoned();
    } else if (standing.casting) {
        report(true, kTextCasting);
    }
}

void NativeCaster::startTaskFailed(std::shared_ptr<StartTask> task, const Error& error) {
    // A fixed trace text, read by scripts: keep it as it is.
    trace("capture startup error: " + error.fullDescription());
    CastLifecycle::Failed failed = lifecycle_.failStart(task->cast);
    failed.dropped.reset();
    task->stream.reset();
    if (failed.abandoned) {
        traceAbandoned();
        return;
    }
    store_->stop();
    postReport(false, error.localizedDescription());
}

}  // namespace skylark
