#pragma once

#include <cstdint>
#include <memory>

#include "caster/stream_writer.hpp"
#include "platform/ffmpeg/encoder_settings.hpp"

namespace skylark {

// The caster's writer on FFmpeg: libx264 (H.264) and AAC into fragmented-MP4 HLS segments in
// memory (an initialization segment, then media segments of about the segment interval, each
// starting with an IDR frame and carrying both tracks).
//
// - create() checks the settings and opens each encoder once to try them, so a missing
//   libx264 or settings an encoder refuses come back as an Error saying why.
// - start() opens the encoders and the muxer and starts the writer's thread
//   (`skylark-writer`), which encodes, muxes, and delivers the initialization segment and then
//   media segments to the delegate and encoded media to the subscribers.
// - Appends put media in a bounded queue and never wait: while the encoder is behind on a kind,
//   the writer is not ready for it and refuses it, so the caller drops media instead of latency
//   growing.
// - A failure while encoding makes the status failed, with failure() saying what failed.
//
// Threads: StreamWriter's contract; beyond it every operation is safe from any thread, under
// one lock that is never held while the delegate or a subscriber runs.
class FFmpegStreamWriter final : public StreamWriter {
  public:
    static constexpr const char* kErrorDomain = "org.skylark.ffmpeg";
    enum ErrorCode : std::int64_t {
        kCannotEncode = 1,    // the settings cannot be encoded, or the encoders would not open
        kEncodingFailed = 2,  // encoding or muxing failed while writing
    };

    static StreamWriterResult create(const WriterSettings& settings,
                                     std::weak_ptr<StreamWriterDelegate> delegate,
                                     ffmpeg::EncoderTuning tuning = {});

    // Cancels, and waits for the encoding step under way (at most one frame) to end; from the
    // writer's own thread (its delegate dropping the last reference) it does not wait.
    ~FFmpegStreamWriter() override;
    FFmpegStreamWriter(const FFmpegStreamWriter&) = delete;
    FFmpegStreamWriter& operator=(const FFmpegStreamWriter&) = delete;

    bool start(std::int64_t sessionStart_ns) override;
    bool isReadyFor(MediaKind kind) const override;
    bool appendVideo(const VideoFrame& frame) override;
    bool appendAudio(const AudioBuffer& buffer) override;
    WriterStatus status() const override;
    std::optional<Error> failure() const override;
    void cancel() override;
    void subscribe(std::weak_ptr<EncodedMediaSubscriber> subscriber) override;

    // Encodes what is queued, delivers it with a last segment, and stops: status completed.
    // Blocks until then; not to be called from the delegate. (Casts never finish, they cancel;
    // tests and benchmarks read whole streams.)
    void finish();

    struct Shared;  // the state the writer's thread shares with this object
    // Only create() can make one.
    class Key {
        friend class FFmpegStreamWriter;
        Key() = default;
    };
    FFmpegStreamWriter(Key, std::shared_ptr<Shared> shared);

  private:
    std::shared_ptr<Shared> shared_;
};

// Makes one FFmpegStreamWriter per cast, for CasterPlatform::makeWriter. Limits FFmpeg's own log
// to errors: its per-cast statistics would otherwise fill standard error, where the trace goes.
StreamWriterFactory makeFFmpegWriterFactory();

}  // namespace skylark
