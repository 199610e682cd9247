#include "media_reader.hpp"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace skylark::test {

namespace {

template <class T, void (*Free)(T**)>
struct Freer {
    void operator()(T* p) const { Free(&p); }
};
using Input = std::unique_ptr<AVFormatContext, Freer<AVFormatContext, avformat_close_input>>;
using Codec = std::unique_ptr<AVCodecContext, Freer<AVCodecContext, avcodec_free_context>>;

void drain(AVCodecContext& codec, AVFrame& frame, Probe& out) {
    while (avcodec_receive_frame(&codec, &frame) == 0) {
        out.damaged += frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT);
        if (codec.codec_type != AVMEDIA_TYPE_VIDEO) {
            ++out.decodedAudio;
        } else if (out.decodedVideo++ == 0) {
            const int x = frame.width / 2, y = frame.height / 2;
            out.centreY = frame.data[0][y * frame.linesize[0] + x];
            out.centreU = frame.data[1][y / 2 * frame.linesize[1] + x / 2];
            out.centreV = frame.data[2][y / 2 * frame.linesize[2] + x / 2];
        }
        av_frame_unref(&frame);
    }
}

}  // namespace

Probe probe(const std::vector<const Bytes*>& parts) {
    static std::atomic<int> files{0};
    const auto path = std::filesystem::temp_directory_path() /
                      ("probe-" + std::to_string(::getpid()) + "-" + std::to_string(++files));
    std::ofstream file(path, std::ios::binary);
    for (const Bytes* part : parts) {
        file.write(reinterpret_cast<const char*>(part->data()), std::streamsize(part->size()));
    }
    file.close();
    Probe out;
    AVFormatContext* raw = nullptr;
    const bool opened = avformat_open_input(&raw, path.c_str(), nullptr, nullptr) == 0;
    std::filesystem::remove(path);
    Input input(raw);
    if (!opened || avformat_find_stream_info(raw, nullptr) < 0) {
        out.error = "not MP4";
        return out;
    }
    std::vector<Codec> decoders;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVCodecParameters& p = *raw->streams[i]->codecpar;
        out.tracks.push_back(std::string(avcodec_get_name(p.codec_id)) + " " +
                             (p.codec_type == AVMEDIA_TYPE_VIDEO
                                  ? std::to_string(p.width) + "x" + std::to_string(p.height) + " " +
                                        av_color_space_name(p.color_space) + " " +
                                        av_color_range_name(p.color_range)
                                  : std::to_string(p.sample_rate) + " Hz " +
                                        std::to_string(p.ch_layout.nb_channels) + " ch"));
        const AVCodec* decoder = avcodec_find_decoder(p.codec_id);
        decoders.emplace_back(avcodec_alloc_context3(decoder));
        avcodec_parameters_to_context(decoders.back().get(), &p);
        decoders.back()->thread_count = 1;
        avcodec_open2(decoders.back().get(), decoder, nullptr);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (int status; (status = av_read_frame(raw, packet)) != AVERROR_EOF;) {
        if (status < 0) {
            out.error = "demuxing failed";
            break;
        }
        const AVStream& stream = *raw->streams[packet->stream_index];
        const double time = double(packet->pts) * av_q2d(stream.time_base);
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            out.video.push_back(time);
            out.key.push_back(packet->flags & AV_PKT_FLAG_KEY);
            out.videoBytes.push_back(packet->size);
        } else {
            out.audio.push_back(time);
        }
        out.damaged += avcodec_send_packet(decoders[packet->stream_index].get(), packet) < 0;
        drain(*decoders[packet->stream_index], *frame, out);
        av_packet_unref(packet);
    }
    for (auto& codec : decoders) {
        avcodec_send_packet(codec.get(), nullptr);
        drain(*codec, *frame, out);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    return out;
}

int expectPlayable(const Bytes& init, const std::vector<const Bytes*>& media, int width, int height,
                   bool regular) {
    EXPECT_GE(media.size(), 2u);
    EXPECT_EQ(probe({&init}).tracks,
              (std::vector<std::string>{
                  "h264 " + std::to_string(width) + "x" + std::to_string(height) + " smpte170m tv",
                  "aac 48000 Hz 2 ch"}));
    std::vector<const Bytes*> all{&init};
    double previous = -1;  // the start of the segment before
    for (std::size_t i = 0; i < media.size(); ++i) {
        const Probe p = probe({&init, media[i]});
        EXPECT_EQ(p.error, "") << "segment " << i;
        EXPECT_TRUE(!p.key.empty() && p.key[0]) << "segment " << i << " starts with a key frame";
        EXPECT_FALSE(p.audio.empty()) << "segment " << i << ": hls.js needs both tracks";
        EXPECT_EQ(p.decodedVideo, int(p.video.size())) << "segment " << i << " plays alone";
        EXPECT_EQ(p.decodedAudio, int(p.audio.size())) << "segment " << i;
        EXPECT_EQ(p.damaged, 0) << "segment " << i;
        if (regular && previous >= 0 && !p.video.empty()) {
            EXPECT_NEAR(p.video[0] - previous, 0.25, 0.05) << "segment " << i - 1 << " lasts";
        }
        previous = p.video.empty() ? -1 : p.video[0];
        all.push_back(media[i]);
    }
    const Probe whole = probe(all);
    for (std::size_t k = 1; k < whole.video.size(); ++k) {
        EXPECT_GT(whole.video[k], whole.video[k - 1]);
    }
    for (std::size_t k = 1; k < whole.audio.size(); ++k) {
        EXPECT_NEAR(whole.audio[k] - whole.audio[k - 1], 1024.0 / 48000, 1e-6) << "no gap";
    }
    return int(whole.video.size());
}

VideoFrame patternFrame(int width, int height, int index) {
    // I420 with padded rows, as pooled capture pictures have them; the lowest quarter is noise.
    const int stride = width + 16, chromaStride = (width + 1) / 2 + 8,
              chromaRows = (height + 1) / 2;
    const std::size_t luma = std::size_t(stride) * height,
                      chroma = std::size_t(chromaStride) * chromaRows;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(luma + 2 * chroma);
    std::uint32_t noise = 2463534242u + std::uint32_t(index) * 7919u;
    auto fill = [&](std::uint8_t* plane, int rowStride, int w, int h, int shift) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
                plane[std::size_t(y) * rowStride + x] =
                    std::uint8_t(y > h * 3 / 4 ? noise : (x + y + index * 4) * (shift + 1));
            }
        }
    };
    std::uint8_t* data = pixels->data();
    fill(data, stride, width, height, 0);
    fill(data + luma, chromaStride, (width + 1) / 2, chromaRows, 1);
    fill(data + luma + chroma, chromaStride, (width + 1) / 2, chromaRows, 2);
    return {width,        height,
            stride,       std::shared_ptr<const std::uint8_t>(pixels, data),
            data + luma,  data + luma + chroma,
            chromaStride, 0};
}

AudioBuffer tone(std::int64_t first, int count, int rate_hz, int channels) {
    auto samples = std::make_shared<std::vector<float>>(std::size_t(count) * channels);
    for (int i = 0; i < count * channels; ++i) {
        (*samples)[i] =
            0.3f * float(std::sin(2 * M_PI * 440.0 * double(first + i / channels) / rate_hz));
    }
    return {count, channels, rate_hz, std::shared_ptr<const float>(samples, samples->data()), 0};
}

}  // namespace skylark::test
