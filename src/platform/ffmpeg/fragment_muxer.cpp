#include "platform/ffmpeg/fragment_muxer.hpp"

#include <utility>

extern "C" {
#include <libavutil/opt.h>
}

namespace skylark::ffmpeg {

namespace {

constexpr int kIOBufferSize = 64 * 1024;

// empty_moov: the header holds no samples, so it can be sent before any media exists.
// frag_custom: fragments are cut only where the writer asks: after every frame, and for audio
// that goes out ahead of its frame.
// default_base_moof: sample offsets count from each moof, so a segment is self-contained.
// skip_trailer: a live stream has no index at its end.
// Not delay_moov: it merges the first two fragments.
constexpr const char* kMovFlags = "frag_custom+empty_moov+default_base_moof+skip_trailer";

void addStream(AVFormatContext& format, const AVCodecContext& codec) {
    AVStream* stream = avformat_new_stream(&format, nullptr);
    if (stream == nullptr) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    check(avcodec_parameters_from_context(stream->codecpar, &codec),
          "The segment muxer could not take the encoder's parameters");
    stream->time_base = codec.time_base;
}

}  // namespace

FragmentMuxer::FragmentMuxer(const AVCodecContext& video, const AVCodecContext& audio) {
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr),
          "The MP4 segment muxer is not available");
    format_.reset(raw);

    auto* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
    if (buffer == nullptr) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    io_.reset(avio_alloc_context(buffer, kIOBufferSize, 1, this, nullptr, &FragmentMuxer::collect,
                                 nullptr));
    if (!io_) {
        av_free(buffer);
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    format_->pb = io_.get();
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;

    addStream(*format_, video);
    addStream(*format_, audio);
}

Bytes FragmentMuxer::writeHeader() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", kMovFlags, 0);
    int result = avformat_write_header(format_.get(), &options);
    av_dict_free(&options);
    check(result, "The MP4 segment muxer could not start");
    return take();
}

void FragmentMuxer::write(AVPacket& packet, Track track, AVRational timeBase) {
    packet.stream_index = track;
    av_packet_rescale_ts(&packet, timeBase, format_->streams[track]->time_base);
    check(av_write_frame(format_.get(), &packet), "The MP4 segment muxer failed");
}

Bytes FragmentMuxer::flushFragment() {
    check(av_write_frame(format_.get(), nullptr), "The MP4 segment muxer failed");
    return take();
}

Bytes FragmentMuxer::take() {
    avio_flush(io_.get());
    // Fragments range from a key frame's hundreds of kilobytes to a few hundred bytes: the
    // scratch keeps its capacity, each fragment leaves exactly sized.
    Bytes taken(output_.begin(), output_.end());
    output_.clear();
    return taken;
}

int FragmentMuxer::collect(void* opaque, WrittenBytes data, int size) {
    auto* self = static_cast<FragmentMuxer*>(opaque);
    self->output_.insert(self->output_.end(), data, data + size);
    return size;
}

}  // namespace skylark::ffmpeg
