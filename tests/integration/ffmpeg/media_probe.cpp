#include "media_probe.hpp"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace skylark::test {

namespace {

struct Reader {
    Bytes data;
    std::size_t position = 0;

    static int read(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<Reader*>(opaque);
        std::size_t left = self->data.size() - self->position;
        if (left == 0) {
            return AVERROR_EOF;
        }
        auto count = std::min<std::size_t>(left, static_cast<std::size_t>(size));
        std::copy_n(self->data.begin() + static_cast<std::ptrdiff_t>(self->position), count,
                    buffer);
        self->position += count;
        return static_cast<int>(count);
    }
};

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct IOCloser {
    void operator()(AVIOContext* context) const {
        if (context != nullptr) {
            av_freep(&context->buffer);
        }
        avio_context_free(&context);
    }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameCloser {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketCloser {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

void receiveAll(AVCodecContext& codec, AVFrame& frame, Probe& result) {
    while (avcodec_receive_frame(&codec, &frame) == 0) {
        if (frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0) {
            ++result.damagedFrames;
        }
        if (codec.codec_type == AVMEDIA_TYPE_VIDEO) {
            if (result.decodedVideoFrames == 0) {
                int x = frame.width / 2, y = frame.height / 2;
                result.centreY = frame.data[0][y * frame.linesize[0] + x];
                result.centreU = frame.data[1][(y / 2) * frame.linesize[1] + x / 2];
                result.centreV = frame.data[2][(y / 2) * frame.linesize[2] + x / 2];
            }
            ++result.decodedVideoFrames;
        } else {
            ++result.decodedAudioFrames;
        }
        av_frame_unref(&frame);
    }
}

}  // namespace

std::vector<ProbedPacket> Probe::of(bool video) const {
    std::vector<ProbedPacket> selected;
    for (const auto& packet : packets) {
        if (packet.video == video) {
            selected.push_back(packet);
        }
    }
    return selected;
}

Probe probe(const std::vector<const Bytes*>& parts, bool decode) {
    Probe result;
    Reader reader;
    for (const Bytes* part : parts) {
        reader.data.insert(reader.data.end(), part->begin(), part->end());
    }
    constexpr int kBufferSize = 32 * 1024;
    std::unique_ptr<AVIOContext, IOCloser> io(
        avio_alloc_context(static_cast<uint8_t*>(av_malloc(kBufferSize)), kBufferSize, 0, &reader,
                           &Reader::read, nullptr, nullptr));
    AVFormatContext* raw = avformat_alloc_context();
    raw->pb = io.get();
    if (avformat_open_input(&raw, nullptr, av_find_input_format("mp4"), nullptr) < 0) {
        result.error = "the bytes do not open as MP4";
        return result;
    }
    std::unique_ptr<AVFormatContext, InputCloser> input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        result.error = "no stream information";
        return result;
    }

    std::vector<std::unique_ptr<AVCodecContext, CodecCloser>> decoders;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters& parameters = *input->streams[i]->codecpar;
        ProbedTrack track;
        track.video = parameters.codec_type == AVMEDIA_TYPE_VIDEO;
        track.codec = avcodec_get_name(parameters.codec_id);
        track.width = parameters.width;
        track.height = parameters.height;
        track.sampleRate = parameters.sample_rate;
        track.channels = parameters.ch_layout.nb_channels;
        track.bt709 = parameters.color_space == AVCOL_SPC_BT709;
        result.tracks.push_back(track);

        const AVCodec* decoder = avcodec_find_decoder(parameters.codec_id);
        std::unique_ptr<AVCodecContext, CodecCloser> context(avcodec_alloc_context3(decoder));
        avcodec_parameters_to_context(context.get(), &parameters);
        context->thread_count = 1;
        if (decode && avcodec_open2(context.get(), decoder, nullptr) < 0) {
            result.error = "cannot open the " + track.codec + " decoder";
            return result;
        }
        decoders.push_back(std::move(context));
    }

    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    for (;;) {
        int status = av_read_frame(input.get(), packet.get());
        if (status == AVERROR_EOF) {
            break;
        }
        if (status < 0) {
            result.error = "demuxing failed";
            return result;
        }
        const AVStream& stream = *input->streams[packet->stream_index];
        ProbedPacket probed;
        probed.video = stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        probed.pts = static_cast<double>(packet->pts) * av_q2d(stream.time_base);
        probed.duration = static_cast<double>(packet->duration) * av_q2d(stream.time_base);
        probed.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        result.packets.push_back(probed);
        if (decode) {
            AVCodecContext& codec = *decoders[packet->stream_index];
            if (avcodec_send_packet(&codec, packet.get()) < 0) {
                ++result.damagedFrames;
            }
            receiveAll(codec, *frame, result);
        }
        av_packet_unref(packet.get());
    }
    if (decode) {
        for (auto& codec : decoders) {
            avcodec_send_packet(codec.get(), nullptr);
            receiveAll(*codec, *frame, result);
        }
    }
    return result;
}

}  // namespace skylark::test
