#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"

#include <limits>
#include <string>
#include <utility>

extern "C" {
#include <libavutil/log.h>
}

namespace skylark {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// A numeric media time in nanoseconds, or nothing when it is not a finite time that fits.
std::optional<std::int64_t> nanoseconds(const MediaTime& time) {
    if (!time.isNumeric()) {
        return std::nullopt;
    }
    __int128 value = static_cast<__int128>(time.value) * kNanosecondsPerSecond / time.timescale;
    if (value > std::numeric_limits<std::int64_t>::max() ||
        value < std::numeric_limits<std::int64_t>::min()) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

bool fitsInt32(std::int64_t value) {
    return value >= std::numeric_limits<std::int32_t>::min() &&
           value <= std::numeric_limits<std::int32_t>::max();
}

// The encoder's settings for `s`, or why there are none. The range checks beyond these are
// checkSettings's.
std::string toEncoderSettings(const WriterSettings& s, ffmpeg::EncoderSettings& out) {
    if (!fitsInt32(s.width) || !fitsInt32(s.height)) {
        return "The streaming encoder cannot encode a picture of " + std::to_string(s.width) + "x" +
               std::to_string(s.height) + " pixels.";
    }
    const std::optional<std::int64_t> keyInterval = nanoseconds(s.key_frame_max_interval);
    const std::optional<std::int64_t> segmentInterval = nanoseconds(s.segment_interval);
    if (!keyInterval || !segmentInterval || !fitsInt32(s.audio_bitrate_bps)) {
        return "The streaming encoder needs positive bit rates, frame rate and intervals.";
    }
    out.width = static_cast<std::int32_t>(s.width);
    out.height = static_cast<std::int32_t>(s.height);
    out.videoBitRate_bps = s.video_bitrate_bps;
    out.maxKeyFrameInterval_frames = s.key_frame_max_frames;
    out.maxKeyFrameInterval_ns = *keyInterval;
    out.segmentInterval_ns = *segmentInterval;
    out.audioSampleRate_hz = s.audio_rate_hz;
    out.audioChannels = s.audio_channels;
    out.audioBitRate_bps = s.audio_bitrate_bps;
    return ffmpeg::checkSettings(out);
}

}  // namespace

StreamWriterResult FFmpegStreamWriter::create(const WriterSettings& settings,
                                              std::weak_ptr<StreamWriterDelegate> delegate) {
    ffmpeg::EncoderSettings encoder;
    std::string problem = toEncoderSettings(settings, encoder);
    if (problem.empty()) {
        problem = ffmpeg::HLSSegmentEncoder::tryVideoEncoder(encoder);
    }
    if (problem.empty()) {
        problem = ffmpeg::HLSSegmentEncoder::tryAudioEncoder(encoder);
    }
    if (!problem.empty()) {
        return Error::withDescription(kErrorDomain, kCannotEncode, problem);
    }
    return std::make_shared<FFmpegStreamWriter>(std::move(encoder), std::move(delegate));
}

FFmpegStreamWriter::FFmpegStreamWriter(ffmpeg::EncoderSettings settings,
                                       std::weak_ptr<StreamWriterDelegate> delegate)
    : settings_(std::move(settings)), delegate_(std::move(delegate)) {}

FFmpegStreamWriter::~FFmpegStreamWriter() = default;

bool FFmpegStreamWriter::start(MediaTime sessionStart) {
    std::lock_guard guard(lock_);
    if (encoder_ || startError_ || cancelled_) {
        return false;
    }
    const std::optional<std::int64_t> start_ns = nanoseconds(sessionStart);
    if (!start_ns) {
        startError_ = Error::withDescription(kErrorDomain, kCannotEncode,
                                             "The session's start time is not a valid time.");
        return false;
    }
    auto created = ffmpeg::HLSSegmentEncoder::create(
        settings_, [delegate = delegate_](ByteBuffer data, SegmentKind kind) {
            if (auto receiver = delegate.lock()) {
                receiver->writerDidOutputSegment(std::move(data), kind);
            }
        });
    if (!created.encoder) {
        startError_ = Error::withDescription(kErrorDomain, kCannotEncode, created.error);
        return false;
    }
    encoder_ = std::move(created.encoder);
    return encoder_->start(*start_ns);
}

bool FFmpegStreamWriter::isReadyFor(MediaKind kind) const {
    std::lock_guard guard(lock_);
    if (!encoder_) {
        return false;
    }
    return kind == MediaKind::video ? encoder_->isReadyForVideo() : encoder_->isReadyForAudio();
}

bool FFmpegStreamWriter::appendVideo(const VideoFrame& frame) {
    std::lock_guard guard(lock_);
    const std::optional<std::int64_t> time_ns = nanoseconds(frame.time);
    return encoder_ && time_ns && encoder_->appendVideo(frame, *time_ns);
}

bool FFmpegStreamWriter::appendAudio(const AudioBuffer& buffer) {
    std::lock_guard guard(lock_);
    const std::optional<std::int64_t> time_ns = nanoseconds(buffer.time);
    return encoder_ && time_ns && encoder_->appendAudio(buffer, *time_ns);
}

WriterStatus FFmpegStreamWriter::status() const {
    std::lock_guard guard(lock_);
    if (startError_) {
        return WriterStatus::failed;
    }
    if (!encoder_) {
        return cancelled_ ? WriterStatus::cancelled : WriterStatus::unknown;
    }
    return encoder_->status();
}

std::optional<Error> FFmpegStreamWriter::failure() const {
    std::lock_guard guard(lock_);
    if (startError_) {
        return startError_;
    }
    if (encoder_) {
        if (std::string message = encoder_->error(); !message.empty()) {
            return Error::withDescription(kErrorDomain, kEncodingFailed, message);
        }
    }
    return std::nullopt;
}

void FFmpegStreamWriter::cancel() {
    ffmpeg::HLSSegmentEncoder* encoder = nullptr;
    {
        std::lock_guard guard(lock_);
        cancelled_ = true;
        encoder = encoder_.get();
    }
    // Outside the lock: cancel() waits for a delivery under way, whose delegate may call back
    // into this writer. The encoder lives as long as this writer, and only videoQueue (the
    // caller) ever sets it.
    if (encoder != nullptr) {
        encoder->cancel();
    }
}

StreamWriterFactory makeFFmpegWriterFactory() {
    av_log_set_level(AV_LOG_ERROR);
    return [](const WriterSettings& settings, std::weak_ptr<StreamWriterDelegate> delegate) {
        return FFmpegStreamWriter::create(settings, std::move(delegate));
    };
}

}  // namespace skylark
