#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "caster/stream_writer.hpp"
#include "platform/ffmpeg/hls_segment_encoder.hpp"

namespace skylark {

// The caster's writer on FFmpeg: libx264 + AAC through HLSSegmentEncoder.
//
// - create() checks the settings and opens each encoder once to try them, so a missing
//   libx264 or settings an encoder refuses come back as an Error saying why.
// - start() opens the encoders and the muxer and starts the encoder thread, which delivers the
//   initialization segment and then media segments; times count from the session's start.
// - Appends hand media to that thread and never wait; the writer is not ready for a kind while
//   the encoder is behind on it.
// - A failure while encoding makes the status failed, with failure() saying what failed.
class FFmpegStreamWriter final : public StreamWriter {
  public:
    static constexpr const char* kErrorDomain = "org.skylark.ffmpeg";
    enum ErrorCode : std::int64_t {
        kCannotEncode = 1,    // the settings cannot be encoded, or the encoders would not open
        kEncodingFailed = 2,  // encoding or muxing failed while writing
    };

    static StreamWriterResult create(const WriterSettings& settings,
                                     std::weak_ptr<StreamWriterDelegate> delegate);

    FFmpegStreamWriter(ffmpeg::EncoderSettings settings,
                       std::weak_ptr<StreamWriterDelegate> delegate);
    ~FFmpegStreamWriter() override;

    bool start(MediaTime sessionStart) override;
    bool isReadyFor(MediaKind kind) const override;
    bool appendVideo(const VideoFrame& frame) override;
    bool appendAudio(const AudioBuffer& buffer) override;
    WriterStatus status() const override;
    std::optional<Error> failure() const override;
    void cancel() override;

  private:
    const ffmpeg::EncoderSettings settings_;
    const std::weak_ptr<StreamWriterDelegate> delegate_;
    mutable std::mutex lock_;
    std::unique_ptr<ffmpeg::HLSSegmentEncoder> encoder_;
    std::optional<Error> startError_;
    bool cancelled_ = false;
};

// Makes one FFmpegStreamWriter per cast, for CasterPlatform::makeWriter. Limits FFmpeg's own log
// to errors: its per-cast statistics would otherwise fill standard error, where the trace goes.
StreamWriterFactory makeFFmpegWriterFactory();

}  // namespace skylark
