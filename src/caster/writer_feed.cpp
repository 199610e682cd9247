#include "caster/writer_feed.hpp"

#include <utility>

namespace skylark {

namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

std::string statusNumber(const StreamWriter& writer) {
    return std::to_string(static_cast<std::int32_t>(writer.status()));
}

}  // namespace

WriterFeed::WriterFeed(TraceLine trace, Fail fail)
    : trace_(std::move(trace)), fail_(std::move(fail)) {}

void WriterFeed::attach(std::shared_ptr<StreamWriter> writer) {
    writer_ = std::move(writer);
}

// The writer's failure as scripts read it in the trace: "nil", or the error marked as present.
// "Optional(...)" and "nil" are fixed texts of the trace format.
std::string WriterFeed::failureText() const {
    const std::optional<Error> error = writer_->failure();
    return error ? "Optional(" + error->fullDescription() + ")" : "nil";
}

void WriterFeed::video(const VideoFrame& frame) {
    if (!writer_) {
        return;
    }
    if (!writing_ && !startAttempted_) {
        // The first frame starts the writer, once: a writer that cannot start is not retried.
        startAttempted_ = true;
        // A fixed trace text, read by scripts: keep it as it is.
        trace_("received first screen frame; starting writer");
        writing_ = writer_->start(frame.time_ns);
        // A fixed trace text, read by scripts: keep it as it is.
        trace_(std::string("writer start result: ") + boolText(writing_) + "; status " +
               statusNumber(*writer_) + "; error " + failureText());
        if (writing_) {
            sessionStart_ns_ = frame.time_ns;
        } else {
            const std::optional<Error> error = writer_->failure();
            fail_(error ? error->localizedDescription() : "The streaming encoder could not start.");
        }
    }
    if (!admits(frame.time_ns) || !writer_->isReadyFor(MediaKind::video)) {
        return;
    }
    traceAppend(true, writer_->appendVideo(frame), loggedFirstVideo_);
}

void WriterFeed::audio(const AudioBuffer& buffer) {
    if (!writer_ || !admits(buffer.time_ns) || !writer_->isReadyFor(MediaKind::audio)) {
        return;
    }
    traceAppend(false, writer_->appendAudio(buffer), loggedFirstAudio_);
}

bool WriterFeed::admits(std::int64_t time_ns) {
    if (!writing_ || (sessionStart_ns_ && time_ns < *sessionStart_ns_)) {
        return false;
    }
    if (writer_->status() != WriterStatus::failed) {
        return true;
    }
    if (!reportedFailure_) {
        reportedFailure_ = true;
        const std::optional<Error> error = writer_->failure();
        // A fixed trace text, read by scripts: keep it as it is.
        trace_("writer failed: " + failureText());
        fail_(error ? error->localizedDescription() : "The streaming encoder stopped.");
    }
    return false;
}

void WriterFeed::traceAppend(bool video, bool appended, bool& logged) {
    const char* kind = video ? "video" : "audio";
    if (!logged) {
        logged = true;
        // A fixed trace text, read by scripts: keep it as it is.
        trace_(std::string("first ") + kind + " sample appended: " + boolText(appended));
    }
    if (!appended) {
        // A fixed trace text, read by scripts: keep it as it is.
        trace_(std::string(kind) + " append failed; writer status " + statusNumber(*writer_) +
               ", error " + failureText());
    }
}

void WriterFeed::reset() {
    if (writer_) {
        writer_->cancel();
    }
    writer_.reset();
    startAttempted_ = false;
    writing_ = false;
    loggedFirstVideo_ = false;
    loggedFirstAudio_ = false;
    reportedFailure_ = false;
    sessionStart_ns_.reset();
}

}  // namespace skylark
