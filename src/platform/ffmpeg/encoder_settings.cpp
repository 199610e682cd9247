#include "platform/ffmpeg/encoder_settings.hpp"

namespace skylark::ffmpeg {

namespace {

// Beyond what any display delivers, and small enough that sizes never overflow.
constexpr std::int32_t kMaxDimension = 16384;
constexpr std::int32_t kMaxChannels = 8;
constexpr std::int32_t kMaxSampleRate_hz = 384000;
// libavcodec keeps the VBV buffer size in an int; half the rate must fit.
constexpr std::int64_t kMaxBitRate_bps = 2'000'000'000;

}  // namespace

std::string checkSettings(const WriterSettings& s, const EncoderTuning& tuning) {
    if (s.width < 2 || s.height < 2 || s.width > kMaxDimension || s.height > kMaxDimension ||
        s.width % 2 != 0 || s.height % 2 != 0) {
        return "The streaming encoder cannot encode a picture of " + std::to_string(s.width) + "x" +
               std::to_string(s.height) + " pixels (it needs even sizes from 2 to " +
               std::to_string(kMaxDimension) + ").";
    }
    if (s.video_bitrate_bps <= 0 || s.audio_bitrate_bps <= 0 || s.frame_rate_fps <= 0 ||
        s.key_frame_max_frames <= 0 || s.key_frame_max_interval_ns <= 0 ||
        s.segment_interval_ns <= 0 || s.video_bitrate_bps > kMaxBitRate_bps ||
        s.audio_bitrate_bps > kMaxBitRate_bps) {
        return "The streaming encoder needs positive bit rates, frame rate and intervals.";
    }
    if (s.audio_channels < 1 || s.audio_channels > 2 || s.audio_rate_hz <= 0) {
        return "The AAC encoder cannot encode " + std::to_string(s.audio_channels) +
               " channels at " + std::to_string(s.audio_rate_hz) + " Hz.";
    }
    if (tuning.maxQueuedVideoFrames == 0 || tuning.maxQueuedAudioBuffers == 0) {
        return "The streaming encoder needs room for at least one frame and one audio buffer.";
    }
    return {};
}

std::string checkVideoFrame(const VideoFrame& f) {
    const bool planesOk = f.u != nullptr && f.v != nullptr && f.stride_bytes >= f.width &&
                          f.chroma_stride_bytes >= (f.width + 1) / 2;
    if (!f.pixels || f.width <= 0 || f.height <= 0 || f.width > kMaxDimension ||
        f.height > kMaxDimension || !planesOk) {
        return "The frame is not an I420 picture the encoder can read.";
    }
    return {};
}

std::string checkAudioBuffer(const AudioBuffer& a) {
    if (!a.samples || a.frames <= 0 || a.channels < 1 || a.channels > kMaxChannels ||
        a.rate_hz <= 0 || a.rate_hz > kMaxSampleRate_hz) {
        return "The audio buffer is not float audio the encoder can read.";
    }
    return {};
}

}  // namespace skylark::ffmpeg
