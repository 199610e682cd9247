#include "platform/ffmpeg/audio_encoder.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace skylark::ffmpeg {

namespace {

// Capture stamps audio by the time it was received, so positions wobble by a few
// milliseconds; only differences beyond this are treated as a gap or an overlap.
constexpr std::int64_t kJitterTolerance_ms = 40;
// A gap longer than this is closed over several buffers, so one absurd time stamp cannot keep
// the writer encoding silence for minutes.
constexpr std::int64_t kMaxSilencePerBuffer_s = 10;

}  // namespace

AudioEncoder::AudioEncoder(const WriterSettings& settings)
    : frame_(allocateFrame()), packet_(allocatePacket()) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        throw EncoderFailure("The AAC encoder is not available in this FFmpeg.");
    }
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    AVCodecContext& c = *context_;
    c.sample_fmt = AV_SAMPLE_FMT_FLTP;
    c.sample_rate = settings.audio_rate_hz;
    av_channel_layout_default(&c.ch_layout, settings.audio_channels);
    c.bit_rate = settings.audio_bitrate_bps;
    c.time_base = AVRational{1, settings.audio_rate_hz};
    c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(context_.get(), codec, nullptr),
          "The AAC encoder could not be opened at " + std::to_string(c.sample_rate) + " Hz, " +
              std::to_string(settings.audio_channels) + " channels");

    frame_->format = c.sample_fmt;
    frame_->nb_samples = c.frame_size;
    frame_->sample_rate = c.sample_rate;
    check(av_channel_layout_copy(&frame_->ch_layout, &c.ch_layout),
          "The streaming encoder ran out of memory");
    check(av_frame_get_buffer(frame_.get(), 0), "The streaming encoder ran out of memory");

    fifo_.reset(av_audio_fifo_alloc(c.sample_fmt, c.ch_layout.nb_channels, 4 * c.frame_size));
    if (!fifo_) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    converted_.resize(c.ch_layout.nb_channels);
    timelineEnd_ = c.initial_padding;
    nextFramePts_ = c.initial_padding;
}

int AudioEncoder::convert(const AudioBuffer& samples) {
    if (!converter_ || samples.rate_hz != converterRate_ ||
        samples.channels != converterChannels_) {
        AVChannelLayout input{};
        av_channel_layout_default(&input, samples.channels);
        SwrContext* raw = nullptr;
        int result = swr_alloc_set_opts2(&raw, &context_->ch_layout, AV_SAMPLE_FMT_FLTP,
                                         context_->sample_rate, &input, AV_SAMPLE_FMT_FLT,
                                         samples.rate_hz, 0, nullptr);
        av_channel_layout_uninit(&input);
        converter_.reset(raw);
        check(result, "The audio converter could not be set up");
        check(swr_init(converter_.get()), "The audio converter could not be set up");
        converterRate_ = samples.rate_hz;
        converterChannels_ = samples.channels;
    }
    int capacity = check(swr_get_out_samples(converter_.get(), samples.frames),
                         "The audio could not be converted");
    std::vector<uint8_t*> planes;
    for (auto& plane : converted_) {
        plane.resize(static_cast<size_t>(std::max(capacity, 1)));
        planes.push_back(reinterpret_cast<uint8_t*>(plane.data()));
    }
    const auto* input = reinterpret_cast<const uint8_t*>(samples.samples.get());
    return check(swr_convert(converter_.get(), planes.data(), capacity, &input, samples.frames),
                 "The audio could not be converted");
}

void AudioEncoder::add(const AudioBuffer& samples, std::int64_t position, const PacketSink& sink) {
    int count = convert(samples);
    if (count <= 0) {
        return;
    }
    std::int64_t offset = position - timelineEnd_;
    // The first buffer is placed exactly: it fixes how audio lines up with video.
    if (placedAny_ && std::abs(offset) <= kJitterTolerance_ms * context_->sample_rate / 1000) {
        offset = 0;
    }
    if (offset > 0) {
        addSilence(std::min(offset, kMaxSilencePerBuffer_s * context_->sample_rate), sink);
    }
    std::int64_t skip = offset < 0 ? std::min<std::int64_t>(-offset, count) : 0;
    if (skip == count) {
        return;  // entirely before what is already on the timeline
    }
    std::vector<uint8_t*> planes;
    for (auto& plane : converted_) {
        planes.push_back(reinterpret_cast<uint8_t*>(plane.data() + skip));
    }
    appendToTimeline(planes.data(), static_cast<int>(count - skip));
    placedAny_ = true;
    encodeWholeFrames(sink);
}

void AudioEncoder::addSilence(std::int64_t count, const PacketSink& sink) {
    std::vector<float> zeros(static_cast<size_t>(context_->frame_size), 0.0f);
    std::vector<uint8_t*> planes(converted_.size(), reinterpret_cast<uint8_t*>(zeros.data()));
    while (count > 0) {
        int chunk = static_cast<int>(std::min<std::int64_t>(count, context_->frame_size));
        appendToTimeline(planes.data(), chunk);
        count -= chunk;
        encodeWholeFrames(sink);
    }
}

void AudioEncoder::appendToTimeline(uint8_t** planes, int count) {
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes), count) < count) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    timelineEnd_ += count;
}

void AudioEncoder::encodeWholeFrames(const PacketSink& sink) {
    const int frameSize = context_->frame_size;
    while (av_audio_fifo_size(fifo_.get()) >= frameSize) {
        check(av_frame_make_writable(frame_.get()), "The streaming encoder ran out of memory");
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), frameSize);
        frame_->pts = nextFramePts_;
        nextFramePts_ += frameSize;
        check(avcodec_send_frame(context_.get(), frame_.get()), "The AAC encoder failed");
        for (;;) {
            int result = avcodec_receive_packet(context_.get(), packet_.get());
            if (result == AVERROR(EAGAIN)) {
                break;
            }
            check(result, "The AAC encoder failed");
            sink(*packet_);
            av_packet_unref(packet_.get());
        }
    }
}

}  // namespace skylark::ffmpeg
