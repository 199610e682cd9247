#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/bytes.hpp"
#include "platform/ffmpeg/encoder_settings.hpp"

namespace skylark::ffmpeg {

// A live HLS segment writer: BGRA frames and float audio in, H.264 + AAC fragmented-MP4
// segments out (an initialization segment, then media segments of about the segment interval,
// each starting with an IDR frame and carrying both tracks).
//
// Threads: every operation may be called from any thread. Appends never block: media goes into
// a bounded queue, and encoding, muxing and the segment handler run on the writer's own thread.
// When the encoder falls behind, the queue fills, the ready questions answer false and appends
// are refused, so the caller drops media instead of latency growing.
//
// Order: create, start, appends (times in nanoseconds on one clock for both kinds, not before
// the session start), then cancel or finish, or just destroy.
class HLSSegmentEncoder {
  public:
    using Status = WriterStatus;
    // Called on the writer's thread, one segment at a time, never after cancel() has returned.
    using SegmentHandler = std::function<void(ByteBuffer data, SegmentKind type)>;

    struct Created {
        std::unique_ptr<HLSSegmentEncoder> encoder;  // null on failure
        std::string error;                           // why, in words a user can read
    };
    // Opens the encoders and the muxer, so that a setting they refuse fails here.
    static Created create(const EncoderSettings& settings, SegmentHandler handler);
    // Whether the H.264 (or AAC) encoder opens with these settings: an empty text, or why not.
    static std::string tryVideoEncoder(const EncoderSettings& settings);
    static std::string tryAudioEncoder(const EncoderSettings& settings);

    // Cancels, and waits for the encoding step under way (at most one frame) to end.
    ~HLSSegmentEncoder();
    HLSSegmentEncoder(const HLSSegmentEncoder&) = delete;
    HLSSegmentEncoder& operator=(const HLSSegmentEncoder&) = delete;

    // Starts the thread, which delivers the initialization segment first. Media stamped before
    // `sessionStart_ns` is dropped. False unless the status was unknown.
    bool start(std::int64_t sessionStart_ns);

    bool isReadyForVideo() const;
    bool isReadyForAudio() const;
    // Queues media for encoding. False, and nothing queued, when not writing, when the queue is
    // full, or when the frame or buffer is malformed.
    bool appendVideo(VideoFrame frame, std::int64_t time_ns);
    bool appendAudio(AudioBuffer samples, std::int64_t time_ns);

    // Encodes what is queued, delivers it with a last segment, and stops: status completed.
    // Blocks until then; not to be called from the segment handler.
    void finish();
    // Stops promptly: queued media is dropped and no segment is delivered once this returns.
    // Status cancelled, unless the writer had already failed or completed.
    void cancel();

    Status status() const;
    // Why the writer failed, or an empty text.
    std::string error() const;

    struct Shared;  // the state the writer's thread shares with this object
    // Only create() can make one.
    class Key {
        friend class HLSSegmentEncoder;
        Key() = default;
    };
    HLSSegmentEncoder(Key, std::shared_ptr<Shared> shared);

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace skylark::ffmpeg
