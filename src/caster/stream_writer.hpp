#pragma once

// The writer the caster feeds: H.264 + AAC cut into fragmented-MP4 HLS segments that go to a
// delegate, never to a file. The caster owns this interface; src/platform/ffmpeg implements it,
// the unit tests fake it.
//
// Contract, for one cast (a writer is made per cast and never reused):
// - Creation: the caster's task thread calls the StreamWriterFactory with the cast's settings
//   and the delegate. A factory that cannot encode those settings answers an Error saying why
//   in words a user can act on; otherwise the writer, not yet writing (status unknown).
// - Everything else runs on the caster's videoQueue, one call at a time: start() once, at the
//   first complete screen frame; then, per frame or buffer, status(), failure(), isReadyFor()
//   and the append of its kind; last, cancel() (possibly before start, or never when the
//   capture failed to start and the writer is just dropped).
// - The writer's own threads (encoder, muxer) may change status() and failure() at any time,
//   so those two are safe against them; subscribe() is safe against every thread.
// - Ownership: the caster holds the writer by shared_ptr and releases it on one of its own
//   threads, never inside a writer call or a delegate callback. The writer holds the delegate
//   weakly. Destroying the writer stops and joins its threads without waiting on videoQueue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "common/media_frames.hpp"

namespace skylark {

// The writer's status. The numbers are printed in trace lines that scripts read.
enum class WriterStatus : std::int32_t {
    unknown = 0,    // made, not yet started
    writing = 1,    // started and writing
    completed = 2,  // finished with a last segment (never in a cast: the caster only cancels)
    failed = 3,     // an error stopped it; failure() says why
    cancelled = 4,  // cancel() was called
};

enum class MediaKind { video, audio };

enum class SegmentKind {
    initialization,  // ftyp + moov: comes first, once
    media,           // one or more moof + mdat: plays after the initialization segment alone
    part,            // one moof + mdat of the media segment being written
};

// Everything a writer is asked to produce, as one plain value. The defaults are the numbers of
// every cast: H.264 at 6 Mbit/s for up to 30 frames a second with a key frame at least every 8
// frames and every 0.25 s, AAC at 48 kHz stereo and 192 kbit/s, segments of 0.25 s.
struct WriterSettings {
    std::int64_t width = 0;  // even, at least 2: every frame is scaled to this
    std::int64_t height = 0;
    std::int32_t frame_rate_fps = 30;  // the most the capture delivers; frames may come slower
    std::int64_t video_bitrate_bps = 6'000'000;
    std::int32_t key_frame_max_frames = 8;                 // frames between key frames, at most
    std::int64_t key_frame_max_interval_ns = 250'000'000;  // time between key frames, at most
    std::int32_t audio_rate_hz = 48'000;                   // AAC
    std::int32_t audio_channels = 2;
    std::int64_t audio_bitrate_bps = 192'000;
    // Segments start on a key frame at (or just after) each multiple of this interval.
    std::int64_t segment_interval_ns = 250'000'000;

    friend bool operator==(const WriterSettings&, const WriterSettings&) = default;
};

// Receives the segments.
class StreamWriterDelegate {
  public:
    virtual ~StreamWriterDelegate() = default;
    // The initialization segment first, then media segments of about the segment interval,
    // each starting with a key frame. A media segment is written as fragments: each one comes
    // as a `part` as soon as it is made (one per video frame, with the audio that starts before
    // that frame ends), and when the segment is complete it comes whole as `media`, byte for
    // byte the concatenation of its parts. A part always belongs to the next media segment to
    // be delivered. Called on any thread (usually the writer's own), one at a time, in order;
    // possibly inside a caster call (an append); never once cancel() has returned.
    virtual void writerDidOutputSegment(ByteBuffer data, SegmentKind kind) = 0;
};

// One unit of what the writer encodes, for subscribers that send it on by other means than
// segments. Times are nanoseconds on the capture's clock (CLOCK_MONOTONIC).
struct EncodedMedia {
    MediaKind kind = MediaKind::video;
    // Video: one H.264 access unit in Annex B form (start codes), of one frame; a key frame is
    // an IDR frame and carries the sequence and picture parameter sets in front.
    ByteBuffer data;
    bool keyFrame = false;
    // Audio: the float PCM the writer took, before AAC (a subscriber encodes it as it needs).
    AudioBuffer audio;
    std::int64_t time_ns = 0;
};

// Receives every encoded video access unit and every audio buffer the writer takes, besides the
// segments that go to the delegate. Video comes in order of encoding, on the writer's own thread;
// audio as it is taken, on the thread of appendAudio() (a live peer needs the sound as steady as
// it is captured, not behind the pictures' encode): a video call and an audio call may overlap.
// Never once cancel() has returned; it must not block (the encoder and the capture wait for it)
// and must not call the writer.
class EncodedMediaSubscriber {
  public:
    virtual ~EncodedMediaSubscriber() = default;
    virtual void writerDidEncode(const EncodedMedia& media) = 0;
};

class StreamWriter {
  public:
    virtual ~StreamWriter() = default;

    // Begins writing at `sessionStart_ns` (the first frame's time): output times count from it
    // and media stamped earlier is dropped. True when writing has begun; false with status
    // failed and failure() set when it could not, or false alone once started or cancelled.
    virtual bool start(std::int64_t sessionStart_ns) = 0;

    // Whether an append of `kind` is taken now. Answers at once; the caster drops media when
    // the answer is false, so a writer that is behind answers false rather than block.
    virtual bool isReadyFor(MediaKind kind) const = 0;
    // Take the frame or buffer (any size, rate or channel count: it is converted); true when
    // accepted. Never blocks on encoding.
    virtual bool appendVideo(const VideoFrame& frame) = 0;
    virtual bool appendAudio(const AudioBuffer& buffer) = 0;

    virtual WriterStatus status() const = 0;
    // What made the writer fail, if it failed.
    virtual std::optional<Error> failure() const = 0;

    // Stops at once: queued media is discarded, nothing is flushed, and no segment is delivered
    // after it returns. Any status, also before start(). Must not wait for videoQueue.
    virtual void cancel() = 0;

    // Adds a subscriber (held weakly) from any thread, at any time: it receives what is encoded
    // after this returns. Unlike the other calls, safe against every thread.
    virtual void subscribe(std::weak_ptr<EncodedMediaSubscriber> subscriber) = 0;
};

using StreamWriterResult = std::variant<std::shared_ptr<StreamWriter>, Error>;
using StreamWriterFactory = std::function<StreamWriterResult(
    const WriterSettings& settings, std::weak_ptr<StreamWriterDelegate> delegate)>;

}  // namespace skylark
