#pragma once

// Owning handles for the FFmpeg objects the writer uses, so that every exit path frees them,
// and the one exception type its set-up and encoding steps throw.

#include <memory>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace skylark::ffmpeg {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct SwrContextDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct FormatContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
// The I/O context's buffer may have been replaced by libavformat, so it is freed through the
// context, not through the pointer first handed in.
struct IOContextDeleter {
    void operator()(AVIOContext* context) const {
        if (context != nullptr) {
            av_freep(&context->buffer);
        }
        avio_context_free(&context);
    }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextDeleter>;

// Allocation that never returns null: out of memory is reported like any other failure.
FramePtr allocateFrame();
PacketPtr allocatePacket();

// FFmpeg's text for an AVERROR code.
std::string errorText(int code);

// A failure of the encoder's set-up or of encoding, with a message a user can read (it ends up
// in the writer's error and on the status line).
class EncoderFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws EncoderFailure("<what>: <FFmpeg's text>.") when `code` is negative; returns it otherwise.
int check(int code, const std::string& what);

}  // namespace skylark::ffmpeg
