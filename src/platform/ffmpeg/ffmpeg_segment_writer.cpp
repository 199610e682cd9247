#include "platform/ffmpeg/ffmpeg_segment_writer.hpp"

#include <cmath>
#include <limits>
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

bool fitsInt32(double value) {
    return std::isfinite(value) && value >= 1 && value <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

class FFmpegSegmentWriter::Input final : public SegmentWriterInput {
  public:
    Input(std::weak_ptr<FFmpegSegmentWriter> owner, const FFmpegSegmentWriter* ownerAddress,
          std::optional<VideoOutputSettings> video, std::optional<AudioOutputSettings> audio)
        : owner_(std::move(owner)),
          ownerAddress_(ownerAddress),
          video_(std::move(video)),
          audio_(std::move(audio)) {}

    // Every input is fed in real time: when the encoder is behind, media is dropped, never
    // waited for.
    void setExpectsMediaDataInRealTime(bool) override {}

    bool isReadyForMoreMediaData() const override {
        auto owner = owner_.lock();
        return owner && owner->isReady(*this);
    }

    bool append(const SampleBuffer& sample) override {
        auto owner = owner_.lock();
        return owner && owner->append(*this, sample);
    }

    bool isVideo() const { return video_.has_value(); }
    const FFmpegSegmentWriter* ownerAddress() const { return ownerAddress_; }

    // The encoder settings this input asks for, or why they are not possible. The segment
    // interval is the writer's and is filled in later.
    std::string settings(ffmpeg::EncoderSettings& out) const {
        if (video_) {
            const VideoOutputSettings& v = *video_;
            if (v.codec != VideoOutputSettings::Codec::h264) {
                return "The streaming encoder writes H.264 video only.";
            }
            if (v.width < 2 || v.height < 2 || v.width > std::numeric_limits<std::int32_t>::max() ||
                v.height > std::numeric_limits<std::int32_t>::max()) {
                return "The streaming encoder cannot encode a picture of " +
                       std::to_string(v.width) + "x" + std::to_string(v.height) + " pixels.";
            }
            if (!fitsInt32(v.averageBitRate) || !fitsInt32(v.maxKeyFrameInterval) ||
                !std::isfinite(v.maxKeyFrameIntervalDuration) ||
                v.maxKeyFrameIntervalDuration <= 0 || v.maxKeyFrameIntervalDuration > 3600) {
                return "The streaming encoder needs a positive bit rate and key-frame interval.";
            }
            out.width = static_cast<std::int32_t>(v.width);
            out.height = static_cast<std::int32_t>(v.height);
            out.videoBitRate_bps = std::llround(v.averageBitRate);
            out.maxKeyFrameInterval_frames = static_cast<std::int32_t>(v.maxKeyFrameInterval);
            out.maxKeyFrameInterval_ns =
                std::llround(v.maxKeyFrameIntervalDuration * kNanosecondsPerSecond);
        } else {
            const AudioOutputSettings& a = *audio_;
            if (a.formatID != AudioOutputSettings::kFormatMPEG4AAC) {
                return "The streaming encoder writes AAC audio only.";
            }
            if (a.sampleRate <= 0 || a.sampleRate > 96000 || a.numberOfChannels < 1 ||
                a.numberOfChannels > 2 || a.encoderBitRate <= 0 ||
                a.encoderBitRate > std::numeric_limits<std::int32_t>::max()) {
                return "The AAC encoder cannot encode " + std::to_string(a.numberOfChannels) +
                       " channels at " + std::to_string(a.sampleRate) + " Hz and " +
                       std::to_string(a.encoderBitRate) + " bit/s.";
            }
            out.audioSampleRate_hz = static_cast<std::int32_t>(a.sampleRate);
            out.audioChannels = static_cast<std::int32_t>(a.numberOfChannels);
            out.audioBitRate_bps = a.encoderBitRate;
        }
        return {};
    }

    // Whether the encoder opens with these settings: an empty text, or why not. Tried once.
    const std::string& verdict() const {
        std::call_once(tried_, [this] {
            ffmpeg::EncoderSettings trial;
            trial.width = trial.height = 16;  // any valid size for the audio trial
            verdict_ = settings(trial);
            if (verdict_.empty()) {
                verdict_ = video_ ? ffmpeg::HLSSegmentEncoder::tryVideoEncoder(trial)
                                  : ffmpeg::HLSSegmentEncoder::tryAudioEncoder(trial);
            }
        });
        return verdict_;
    }

  private:
    std::weak_ptr<FFmpegSegmentWriter> owner_;
    const FFmpegSegmentWriter* ownerAddress_;
    std::optional<VideoOutputSettings> video_;
    std::optional<AudioOutputSettings> audio_;
    mutable std::once_flag tried_;
    mutable std::string verdict_;
};

std::shared_ptr<FFmpegSegmentWriter> FFmpegSegmentWriter::create() {
    return std::make_shared<FFmpegSegmentWriter>(Key{});
}

FFmpegSegmentWriter::FFmpegSegmentWriter(Key) {}

FFmpegSegmentWriter::~FFmpegSegmentWriter() = default;

void FFmpegSegmentWriter::setOutputFileTypeProfile(FileTypeProfile) {
    // Fragmented MP4 for HLS is the only profile there is, and the only one written.
}

void FFmpegSegmentWriter::setPreferredOutputSegmentInterval(MediaTime interval) {
    std::lock_guard guard(lock_);
    segmentInterval_ = interval;
}

void FFmpegSegmentWriter::setDelegate(std::weak_ptr<SegmentWriterDelegate> delegate) {
    std::lock_guard guard(lock_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<SegmentWriterInput> FFmpegSegmentWriter::makeVideoInput(
    const VideoOutputSettings& settings) {
    return std::make_shared<Input>(weak_from_this(), this, settings, std::nullopt);
}

std::shared_ptr<SegmentWriterInput> FFmpegSegmentWriter::makeAudioInput(
    const AudioOutputSettings& settings) {
    return std::make_shared<Input>(weak_from_this(), this, std::nullopt, settings);
}

bool FFmpegSegmentWriter::canAdd(const SegmentWriterInput& input) const {
    std::string reason;
    const auto* ours = dynamic_cast<const Input*>(&input);
    if (ours == nullptr || ours->ownerAddress() != this) {
        reason = "The input was not made by this writer.";
    } else {
        std::lock_guard guard(lock_);
        if (encoder_ || startError_ || cancelled_) {
            reason = "Inputs cannot be added once the writer has started.";
        } else if (ours->isVideo() ? videoInput_ != nullptr : audioInput_ != nullptr) {
            reason = ours->isVideo() ? "The writer already has a video input."
                                     : "The writer already has an audio input.";
        }
    }
    if (reason.empty()) {
        reason = ours->verdict();  // outside the lock: it may open an encoder
    }
    std::lock_guard guard(lock_);
    refusalReason_ = reason;
    return reason.empty();
}

void FFmpegSegmentWriter::add(std::shared_ptr<SegmentWriterInput> input) {
    if (!canAdd(*input)) {
        return;  // the caller skipped canAdd; refusalReason() says why nothing was added
    }
    auto ours = std::static_pointer_cast<Input>(std::move(input));
    std::lock_guard guard(lock_);
    (ours->isVideo() ? videoInput_ : audioInput_) = std::move(ours);
}

std::string FFmpegSegmentWriter::refusalReason() const {
    std::lock_guard guard(lock_);
    return refusalReason_;
}

void FFmpegSegmentWriter::setInitialSegmentStartTime(MediaTime) {
    // Segments are cut at multiples of the segment interval from the session's time, which the
    // caster sets to this same time.
}

void FFmpegSegmentWriter::failStart(const std::string& message) {
    startError_ = Error::withDescription(kErrorDomain, kCannotStart, message);
}

bool FFmpegSegmentWriter::startWriting() {
    std::lock_guard guard(lock_);
    if (encoder_ || startError_ || cancelled_) {
        return false;
    }
    if (!videoInput_ || !audioInput_) {
        failStart("The streaming encoder needs both a video and an audio input.");
        return false;
    }
    ffmpeg::EncoderSettings settings;
    videoInput_->settings(settings);
    audioInput_->settings(settings);
    std::optional<std::int64_t> interval = nanoseconds(segmentInterval_);
    if (!interval || *interval <= 0) {
        failStart("The segment interval must be a positive time.");
        return false;
    }
    settings.segmentInterval_ns = *interval;

    std::weak_ptr<SegmentWriterDelegate> delegate = delegate_;
    auto created = ffmpeg::HLSSegmentEncoder::create(
        settings, [delegate](ByteBuffer data, ffmpeg::SegmentType type) {
            if (auto receiver = delegate.lock()) {
                receiver->segmentWriterDidOutputSegment(std::move(data),
                                                        type == ffmpeg::SegmentType::initialization
                                                            ? SegmentType::initialization
                                                            : SegmentType::separable);
            }
        });
    if (!created.encoder) {
        failStart(created.error);
        return false;
    }
    encoder_ = std::move(created.encoder);
    return true;
}

void FFmpegSegmentWriter::startSession(MediaTime sourceTime) {
    std::lock_guard guard(lock_);
    if (!encoder_ || sessionStarted_) {
        return;
    }
    std::optional<std::int64_t> start = nanoseconds(sourceTime);
    if (!start) {
        encoder_->cancel();
        startError_ = Error::withDescription(kErrorDomain, kCannotStart,
                                             "The session's start time is not a valid time.");
        return;
    }
    sessionStarted_ = encoder_->start(*start);
}

SegmentWriterStatus FFmpegSegmentWriter::status() const {
    std::lock_guard guard(lock_);
    if (startError_) {
        return SegmentWriterStatus::failed;
    }
    if (!encoder_) {
        return cancelled_ ? SegmentWriterStatus::cancelled : SegmentWriterStatus::unknown;
    }
    if (!sessionStarted_) {
        return cancelled_ ? SegmentWriterStatus::cancelled : SegmentWriterStatus::writing;
    }
    return static_cast<SegmentWriterStatus>(encoder_->status());
}

std::optional<Error> FFmpegSegmentWriter::error() const {
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

void FFmpegSegmentWriter::cancelWriting() {
    ffmpeg::HLSSegmentEncoder* encoder = nullptr;
    {
        std::lock_guard guard(lock_);
        cancelled_ = true;
        encoder = encoder_.get();
    }
    // Outside the lock: cancel() waits for a delivery under way, whose delegate may call back
    // into this writer. The encoder lives as long as this writer.
    if (encoder != nullptr) {
        encoder->cancel();
    }
}

bool FFmpegSegmentWriter::isReady(const Input& input) const {
    std::lock_guard guard(lock_);
    if (!encoder_ || !sessionStarted_) {
        return false;
    }
    if (&input != (input.isVideo() ? videoInput_.get() : audioInput_.get())) {
        return false;  // made here but never added
    }
    return input.isVideo() ? encoder_->isReadyForVideo() : encoder_->isReadyForAudio();
}

bool FFmpegSegmentWriter::append(const Input& input, const SampleBuffer& sample) {
    std::lock_guard guard(lock_);
    if (!encoder_ || !sessionStarted_ || !sample.isValid ||
        &input != (input.isVideo() ? videoInput_.get() : audioInput_.get())) {
        return false;
    }
    std::optional<std::int64_t> time = nanoseconds(sample.presentationTimeStamp);
    if (!time) {
        return false;
    }
    if (input.isVideo()) {
        if (!sample.imageBuffer) {
            return false;
        }
        const ImageBuffer& image = *sample.imageBuffer;
        return encoder_->appendVideo(
            ffmpeg::VideoFrame{image.width, image.height, image.bytesPerRow, image.pixels}, *time);
    }
    if (!sample.audioBuffer) {
        return false;
    }
    const AudioBuffer& audio = *sample.audioBuffer;
    return encoder_->appendAudio(
        ffmpeg::AudioSamples{audio.frameCount, audio.channelCount, audio.sampleRate, audio.samples},
        *time);
}

SegmentWriterFactory makeFFmpegSegmentWriterFactory() {
    av_log_set_level(AV_LOG_ERROR);
    return [] { return FFmpegSegmentWriter::create(); };
}

}  // namespace skylark
