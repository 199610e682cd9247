#include "platform/ffmpeg/video_encoder.hpp"

#include <pthread.h>

#include <algorithm>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
}

namespace skylark::ffmpeg {

namespace {

void setOption(void* object, const char* name, const std::string& value) {
    check(av_opt_set(object, name, value.c_str(), AV_OPT_SEARCH_CHILDREN),
          std::string("The H.264 encoder refused its option ") + name);
}

int converterThreads() {
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
}

// x264 on top of ultrafast, for text on a screen at four key frames a second (bench/quality
// measures each choice):
// - qcomp=1: one quantiser for every frame instead of finer ones for cheap frames. Otherwise the
//   predicted frames of an unchanged screen buy back detail bit by bit, and each key frame
//   starts over from a coarse picture; this way they are skipped and the key frames get the
//   bits, so a still screen is as sharp on its first frame of a segment as on its last.
// - cabac=1: the same picture for about a tenth fewer bits.
// - deadzone-intra=6: keeps the small coefficients that draw thin strokes in key frames.
// (subme=2, intra modes by their real cost, adds a little more sharpness for a third more
// encoding time.)
constexpr const char* kScreenTuning = "scenecut=0:qcomp=1:cabac=1:deadzone-intra=6";

// The capture's pixels, borrowed for one conversion: the wrapper frees nothing.
void borrowedBufferFree(void*, uint8_t*) {}

using SharedPixels = std::shared_ptr<const std::uint8_t>;

// The capture's picture, lent to the encoder: dropped with the encoder's last reference.
void lentBufferFree(void* holder, uint8_t*) {
    std::unique_ptr<SharedPixels>(static_cast<SharedPixels*>(holder));
}

// Planes of an I420 frame `height` luma rows high, as the encoder and libswscale take them.
void setPlanes(AVFrame& f, const VideoFrame& frame) {
    f.data[0] = const_cast<uint8_t*>(frame.pixels.get());
    f.data[1] = const_cast<uint8_t*>(frame.u);
    f.data[2] = const_cast<uint8_t*>(frame.v);
    f.linesize[0] = frame.stride_bytes;
    f.linesize[1] = frame.chroma_stride_bytes;
    f.linesize[2] = frame.chroma_stride_bytes;
}

}  // namespace

VideoEncoder::VideoEncoder(const WriterSettings& settings, const std::string& preset)
    : picture_(allocateFrame()), packet_(allocatePacket()) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        throw EncoderFailure("The H.264 encoder (libx264) is not available in this FFmpeg.");
    }
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    AVCodecContext& c = *context_;
    c.width = static_cast<int>(settings.width);
    c.height = static_cast<int>(settings.height);
    c.pix_fmt = AV_PIX_FMT_YUV420P;
    c.time_base = kTimeBase;
    c.framerate = AVRational{settings.frame_rate_fps, 1};
    c.sample_aspect_ratio = AVRational{1, 1};
    // The capture's libyuv conversion produces BT.601 limited-range YUV (it has no BT.709
    // matrix); the stream says so, or players would decode with the wrong matrix. Primaries and
    // transfer stay those of the sRGB desktop.
    c.colorspace = AVCOL_SPC_SMPTE170M;
    c.color_primaries = AVCOL_PRI_BT709;
    c.color_trc = AVCOL_TRC_BT709;
    c.color_range = AVCOL_RANGE_MPEG;
    // The parameter sets go into the initialization segment, not in front of every key frame.
    c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    c.bit_rate = settings.video_bitrate_bps;
    // A key frame every 0.25 s costs several times a predicted frame, and x264's average-rate
    // control alone lets the stream run 20% over its target at that key-frame rate. A VBV
    // ceiling at the average rate, with half a second of buffer, holds the average while
    // leaving each key frame room.
    c.rc_max_rate = settings.video_bitrate_bps;
    c.rc_buffer_size = static_cast<int>(settings.video_bitrate_bps / 2);
    c.gop_size = settings.key_frame_max_frames;
    c.keyint_min = 1;
    c.max_b_frames = 0;
    // Slice threads, as zerolatency intends: libavcodec's default thread type would switch
    // x264 to frame threads, which hold a frame back per thread.
    c.thread_count = 0;
    c.thread_type = FF_THREAD_SLICE;

    setOption(c.priv_data, "preset", preset);
    // No B-frames, no look-ahead, sliced threads: a frame in, its packet out.
    setOption(c.priv_data, "tune", "zerolatency");
    // Every forced key frame is an IDR frame, so each segment decodes on its own.
    setOption(c.priv_data, "forced-idr", "1");
    // Key frames only where the writer asks or the 8-frame limit falls, never on scene cuts
    // in between. (Rate control by the frames' real times, force-cfr=0, would hold every frame
    // back until the next one arrives; it budgets by the nominal frame rate instead.)
    setOption(c.priv_data, "x264-params", kScreenTuning);

    // x264 starts its worker threads here, and they take the opening thread's name: call them
    // what they do, so a profile tells the encoding apart from the queue that opens it.
    char opener[16] = {};
    pthread_getname_np(pthread_self(), opener, sizeof opener);
    pthread_setname_np(pthread_self(), "skylark-encode");
    const int opened = avcodec_open2(context_.get(), codec, nullptr);
    pthread_setname_np(pthread_self(), opener);
    check(opened, "The H.264 encoder (libx264) could not be opened at " + std::to_string(c.width) +
                      "x" + std::to_string(c.height));

    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = c.width;
    picture_->height = c.height;
    check(av_frame_get_buffer(picture_.get(), 0), "The streaming encoder ran out of memory");
}

FramePtr VideoEncoder::borrow(const VideoFrame& frame) {
    FramePtr lent = allocateFrame();
    auto holder = std::make_unique<SharedPixels>(frame.pixels);
    lent->buf[0] = av_buffer_create(const_cast<uint8_t*>(frame.pixels.get()),
                                    static_cast<size_t>(frame.stride_bytes) * frame.height,
                                    lentBufferFree, holder.get(), AV_BUFFER_FLAG_READONLY);
    if (lent->buf[0] == nullptr) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    holder.release();  // the buffer owns it now
    lent->format = AV_PIX_FMT_YUV420P;
    lent->width = frame.width;
    lent->height = frame.height;
    setPlanes(*lent, frame);
    return lent;
}

void VideoEncoder::scale(const VideoFrame& frame) {
    const AVPixelFormat format = AV_PIX_FMT_YUV420P;
    if (!scaler_ || frame.width != scalerWidth_ || frame.height != scalerHeight_) {
        scaler_.reset(sws_alloc_context());
        if (!scaler_) {
            throw EncoderFailure("The streaming encoder ran out of memory.");
        }
        SwsContext* s = scaler_.get();
        av_opt_set_int(s, "srcw", frame.width, 0);
        av_opt_set_int(s, "srch", frame.height, 0);
        av_opt_set_int(s, "src_format", format, 0);
        av_opt_set_int(s, "dstw", context_->width, 0);
        av_opt_set_int(s, "dsth", context_->height, 0);
        av_opt_set_int(s, "dst_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(s, "sws_flags", SWS_BILINEAR, 0);
        av_opt_set_int(s, "threads", converterThreads(), 0);
        check(sws_init_context(s, nullptr, nullptr), "The picture converter could not be set up");
        // BT.601 limited-range YUV in and out, as the stream's colour tags say.
        const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(s, bt601, 0, bt601, 0, 0, 1 << 16, 1 << 16);
        scalerWidth_ = frame.width;
        scalerHeight_ = frame.height;
    }

    FramePtr source = allocateFrame();
    source->format = format;
    source->width = frame.width;
    source->height = frame.height;
    source->linesize[0] = frame.stride_bytes;
    // sws_scale_frame takes references to its frames; without a buffer it would copy the
    // whole image first.
    auto* pixels = const_cast<uint8_t*>(frame.pixels.get());
    source->buf[0] =
        av_buffer_create(pixels, static_cast<size_t>(frame.stride_bytes) * frame.height,
                         borrowedBufferFree, nullptr, AV_BUFFER_FLAG_READONLY);
    if (source->buf[0] == nullptr) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    setPlanes(*source, frame);

    check(av_frame_make_writable(picture_.get()), "The streaming encoder ran out of memory");
    check(sws_scale_frame(scaler_.get(), picture_.get(), source.get()),
          "The picture could not be converted for the H.264 encoder");
}

void VideoEncoder::encode(const VideoFrame& frame, std::int64_t pts, bool keyFrame,
                          const std::function<void(AVPacket&)>& sink) {
    FramePtr lent;
    AVFrame* input = picture_.get();
    if (frame.width == context_->width && frame.height == context_->height) {
        lent = borrow(frame);
        input = lent.get();
    } else {
        scale(frame);
    }
    input->pts = pts;
    input->pict_type = keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    check(avcodec_send_frame(context_.get(), input), "The H.264 encoder failed");
    for (;;) {
        int result = avcodec_receive_packet(context_.get(), packet_.get());
        if (result == AVERROR(EAGAIN)) {
            return;
        }
        check(result, "The H.264 encoder failed");
        sink(*packet_);
        av_packet_unref(packet_.get());
    }
}

}  // namespace skylark::ffmpeg
