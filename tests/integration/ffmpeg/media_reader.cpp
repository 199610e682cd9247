#include "media_reader.hpp"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace skylark::test {

namespace {

struct Source {
    Bytes data;
    std::size_t position = 0;
    static int read(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<Source*>(opaque);
        const auto count = std::min<std::size_t>(self->data.size() - self->position, size);
        if (count == 0) {
            return AVERROR_EOF;
        }
        std::copy_n(self->data.data() + self->position, count, buffer);
        self->position += count;
        return static_cast<int>(count);
    }
};

template <class T, void (*Free)(T**)>
struct Freer {
    void operator()(T* p) const { Free(&p); }
};
void freeIO(AVIOContext** io) {
    av_freep(&(*io)->buffer);
    avio_context_free(io);
}
using IO = std::unique_ptr<AVIOContext, Freer<AVIOContext, freeIO>>;
using Input = std::unique_ptr<AVFormatContext, Freer<AVFormatContext, avformat_close_input>>;
using Codec = std::unique_ptr<AVCodecContext, Freer<AVCodecContext, avcodec_free_context>>;
using Frame = std::unique_ptr<AVFrame, Freer<AVFrame, av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, Freer<AVPacket, av_packet_free>>;

void drain(AVCodecContext& codec, AVFrame& frame, Probe& out) {
    while (avcodec_receive_frame(&codec, &frame) == 0) {
        out.damaged += frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT);
        if (codec.codec_type == AVMEDIA_TYPE_VIDEO && out.decodedVideo++ == 0) {
            const int x = frame.width / 2, y = frame.height / 2;
            out.centreY = frame.data[0][y * frame.linesize[0] + x];
            out.centreU = frame.data[1][(y / 2) * frame.linesize[1] + x / 2];
            out.centreV = frame.data[2][(y / 2) * frame.linesize[2] + x / 2];
        } else if (codec.codec_type != AVMEDIA_TYPE_VIDEO) {
            ++out.decodedAudio;
        }
        av_frame_unref(&frame);
    }
}

}  // namespace

Probe probe(const std::vector<const Bytes*>& parts) {
    Probe out;
    Source source;
    for (const Bytes* part : parts) {
        source.data.insert(source.data.end(), part->begin(), part->end());
    }
    IO io(avio_alloc_context(static_cast<uint8_t*>(av_malloc(32768)), 32768, 0, &source,
                             &Source::read, nullptr, nullptr));
    AVFormatContext* raw = avformat_alloc_context();
    raw->pb = io.get();
    if (avformat_open_input(&raw, nullptr, av_find_input_format("mp4"), nullptr) < 0) {
        out.error = "not MP4";
        return out;
    }
    Input input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        out.error = "no stream information";
        return out;
    }
    std::vector<Codec> decoders;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters& p = *input->streams[i]->codecpar;
        out.tracks.push_back({p.codec_type == AVMEDIA_TYPE_VIDEO, avcodec_get_name(p.codec_id),
                              p.width, p.height, p.sample_rate, p.ch_layout.nb_channels,
                              p.color_space == AVCOL_SPC_BT709});
        const AVCodec* decoder = avcodec_find_decoder(p.codec_id);
        decoders.emplace_back(avcodec_alloc_context3(decoder));
        avcodec_parameters_to_context(decoders.back().get(), &p);
        decoders.back()->thread_count = 1;
        if (avcodec_open2(decoders.back().get(), decoder, nullptr) < 0) {
            out.error = "no decoder";
            return out;
        }
    }
    PacketPtr packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    for (int status; (status = av_read_frame(input.get(), packet.get())) != AVERROR_EOF;) {
        if (status < 0) {
            out.error = "demuxing failed";
            return out;
        }
        const AVStream& stream = *input->streams[packet->stream_index];
        const bool video = stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        (video ? out.video : out.audio)
            .push_back({video, static_cast<double>(packet->pts) * av_q2d(stream.time_base),
                        (packet->flags & AV_PKT_FLAG_KEY) != 0});
        AVCodecContext& codec = *decoders[packet->stream_index];
        out.damaged += avcodec_send_packet(&codec, packet.get()) < 0;
        drain(codec, *frame, out);
        av_packet_unref(packet.get());
    }
    for (auto& codec : decoders) {
        avcodec_send_packet(codec.get(), nullptr);
        drain(*codec, *frame, out);
    }
    return out;
}

int expectPlayable(const Bytes& init, const std::vector<const Bytes*>& media, int width, int height,
                   bool regular) {
    EXPECT_GE(media.size(), 2u);
    const Probe header = probe({&init});
    EXPECT_EQ(header.error, "");
    EXPECT_EQ(header.tracks.size(), 2u);
    for (const Track& t : header.tracks) {
        if (t.video) {
            EXPECT_TRUE(t.codec == "h264" && t.width == width && t.height == height && t.bt709);
        } else {
            EXPECT_TRUE(t.codec == "aac" && t.rate_hz == 48000 && t.channels == 2);
        }
    }
    std::vector<double> starts;
    for (std::size_t i = 0; i < media.size(); ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        const Probe p = probe({&init, media[i]});
        EXPECT_EQ(p.error, "");
        EXPECT_FALSE(p.audio.empty()) << "hls.js needs both tracks in every segment";
        if (p.video.empty()) {
            ADD_FAILURE() << "no video";
            continue;
        }
        EXPECT_TRUE(p.video.front().key);
        EXPECT_EQ(p.decodedVideo, static_cast<int>(p.video.size()));
        EXPECT_EQ(p.decodedAudio, static_cast<int>(p.audio.size()));
        EXPECT_EQ(p.damaged, 0);
        starts.push_back(p.video.front().pts);
    }
    for (std::size_t i = 1; regular && i + 1 < starts.size(); ++i) {
        EXPECT_NEAR(starts[i] - starts[i - 1], 0.25, 0.05 + 1e-6) << "segment " << i - 1;
    }
    std::vector<const Bytes*> all{&init};
    all.insert(all.end(), media.begin(), media.end());
    const Probe whole = probe(all);
    for (std::size_t k = 1; k < whole.video.size(); ++k) {
        EXPECT_GT(whole.video[k].pts, whole.video[k - 1].pts);
    }
    for (std::size_t k = 1; k < whole.audio.size(); ++k) {
        EXPECT_NEAR(whole.audio[k].pts - whole.audio[k - 1].pts, 1024.0 / 48000, 1e-6) << k;
    }
    return static_cast<int>(whole.video.size());
}

VideoFrame patternFrame(int width, int height, int index, std::int64_t time_ns) {
    const int stride = width * 4 + 16;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(stride) * height);
    std::uint32_t noise = 2463534242u + static_cast<std::uint32_t>(index) * 7919u;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = pixels->data() + std::ptrdiff_t(y) * stride + x * 4;
            noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
            const bool noisy = y > height * 3 / 4;
            p[0] = static_cast<std::uint8_t>(noisy ? noise : (x + y + index * 4) * 2);
            p[1] = static_cast<std::uint8_t>(noisy ? noise : y * 255 / height);
            p[2] = static_cast<std::uint8_t>(noisy ? noise : x * 255 / width);
            p[3] = 255;
        }
    }
    return {width, height, stride, std::shared_ptr<const std::uint8_t>(pixels, pixels->data()),
            MediaTime::make(time_ns, 1'000'000'000)};
}

AudioBuffer tone(std::int64_t first, int count, int rate_hz, int channels, std::int64_t time_ns) {
    auto samples = std::make_shared<std::vector<float>>(std::size_t(count) * channels);
    for (int i = 0; i < count * channels; ++i) {
        (*samples)[i] =
            0.3f *
            static_cast<float>(std::sin(2 * M_PI * 440.0 * double(first + i / channels) / rate_hz));
    }
    return {count, channels, rate_hz, std::shared_ptr<const float>(samples, samples->data()),
            MediaTime::make(time_ns, 1'000'000'000)};
}

}  // namespace skylark::test
