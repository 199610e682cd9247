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
//   so those two are safe against them.
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
#include "common/media_time.hpp"

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

// Everything a writer is asked to produce, as one plain value.
struct WriterSettings {
    std::int64_t width = 0;  // even, at least 2: every frame is scaled to this
    std::int64_t height = 0;
    std::int64_t video_bitrate_bps = 6'000'000;
    std::int32_t key_frame_max_frames = 8;                     // frames between key frames, at most
    MediaTime key_frame_max_interval = MediaTime::make(1, 4);  // time between key frames, at most
    std::int32_t audio_rate_hz = 48'000;                       // AAC
    std::int32_t audio_channels = 2;
    std::int64_t audio_bitrate_bps = 192'000;
    MediaTime segment_interval = MediaTime::make(150, 600);  // each segment lasts about this

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

class StreamWriter {
  public:
    virtual ~StreamWriter() = default;

    // Begins writing at `sessionStart` (the first frame's time): output times count from it
    // and media stamped earlier is dropped. True when writing has begun; false with status
    // failed and failure() set when it could not, or false alone once started or cancelled.
    virtual bool start(MediaTime sessionStart) = 0;

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
};

using StreamWriterResult = std::variant<std::shared_ptr<StreamWriter>, Error>;
using StreamWriterFactory = std::function<StreamWriterResult(
    const WriterSettings& settings, std::weak_ptr<StreamWriterDelegate> delegate)>;

}  // namespace skylark
