#pragma once

// What the native caster requires of a segment writer (in the order of a cast): H.264 + AAC
// encoding cut into fragmented-MP4 HLS segments that are handed to a delegate, never written to a
// file. The caster owns this interface; the FFmpeg implementation under src/platform/ffmpeg adapts
// to it, and the unit tests implement it as a fake.
//
// Order of calls for one cast (one writer per cast, never reused):
//   1. setup, on the caster's task thread:  SegmentWriterFactory, setOutputFileTypeProfile,
//      setPreferredOutputSegmentInterval, setDelegate, makeVideoInput, makeAudioInput,
//      setExpectsMediaDataInRealTime on each input, canAdd(video), canAdd(audio), add(video),
//      add(audio). If either canAdd answers false, the writer is dropped with no input added.
//   2. start, on the caster's videoQueue, at the first complete screen frame:
//      setInitialSegmentStartTime(t), startWriting(), status(), error(), and when startWriting
//      answered true startSession(t), with the same t.
//   3. running, on videoQueue, for every sample: status(), error(), and on the input of the
//      sample's kind isReadyForMoreMediaData() then append().
//   4. end, on videoQueue: cancelWriting(), possibly before startWriting (a cast stopped while
//      starting) or never (a failed capture start; the writer is then just dropped).
// The caster makes one call at a time, with happens-before between successive calls (they move
// from the task thread to videoQueue through a queue). An implementation's own threads (the
// encoder, the muxer) may change status() and error() at any time, so those two must be safe
// against its own threads.
//
// Ownership: the caster holds the writer and its inputs by std::shared_ptr until the cast's
// teardown (or, after a failed capture start, until the next cast replaces them); the writer
// holds its delegate (the caster) only weakly. The caster releases its last reference on one of
// its own threads (task thread or videoQueue), never from inside a writer call or a delegate
// callback; the destructor stops and joins the writer's own threads, without waiting for
// anything that needs videoQueue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "caster/sample_buffer.hpp"
#include "common/bytes.hpp"
#include "common/error.hpp"
#include "common/media_time.hpp"

namespace skylark {

// The writer's status, with the platform's raw codes (AVAssetWriter.Status). The caster prints
// it as the integer and acts only on `failed`.
enum class SegmentWriterStatus : std::int32_t {
    unknown = 0,    // created, not yet started
    writing = 1,    // startWriting succeeded
    completed = 2,  // (the caster never finishes a writer)
    failed = 3,     // an error stopped the writer; error() says why
    cancelled = 4,  // cancelWriting was called
};

// The kind of a delivered segment, with the platform's raw values (AVAssetSegmentType).
enum class SegmentType : std::int32_t {
    initialization = 1,  // the fMP4 initialization segment (ftyp + moov)
    separable = 2,       // a media segment (moof + mdat ...), playable after the initialization
};

// The output container profile (AVFileTypeProfileMPEG4AppleHLS: fragmented MP4 for HLS).
enum class FileTypeProfile : std::int32_t {
    mpeg4AppleHLS = 1,
};

// Video input settings (the writer's output settings, typed).
struct VideoOutputSettings {
    enum class Codec : std::int32_t { h264 = 1 };
    Codec codec = Codec::h264;
    std::int64_t width = 0;   // even, at least 2: the size of every appended frame
    std::int64_t height = 0;  // even, at least 2
    // Compression properties, each a 64-bit float.
    double averageBitRate = 6000000.0;          // bit/s
    double maxKeyFrameInterval = 8.0;           // frames from one key frame to the next, at most
    double maxKeyFrameIntervalDuration = 0.25;  // seconds from one key frame to the next, at most
};

// Audio input settings.
struct AudioOutputSettings {
    static constexpr std::uint32_t kFormatMPEG4AAC = 0x61616320;  // "aac "
    std::uint32_t formatID = kFormatMPEG4AAC;
    std::int64_t sampleRate = 48000;
    std::int64_t numberOfChannels = 2;
    std::int64_t encoderBitRate = 192000;  // bit/s
};

// One input of a writer (AVAssetWriterInput): video takes screen frames (BGRA images of the
// configured size), audio takes audio buffers (interleaved float at 48000 Hz, 2 channels).
class SegmentWriterInput {
  public:
    virtual ~SegmentWriterInput() = default;
    // Tune for a live source (the caster sets true before adding the input).
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    // Whether append() takes a sample now. Must answer at once; the caster drops the sample
    // when the answer is false, so answer false rather than make append() wait.
    virtual bool isReadyForMoreMediaData() const = 0;
    // Takes the sample (its presentation time is in the clock of startSession's time); true
    // when accepted. Must not block on encoding: hand the work to the writer's own thread.
    virtual bool append(const SampleBuffer& sample) = 0;
};

// Receives the segments (AVAssetWriterDelegate).
class SegmentWriterDelegate {
  public:
    virtual ~SegmentWriterDelegate() = default;
    // A finished segment: first the initialization segment (type initialization), then media
    // segments of about the preferred interval, each self-contained after the initialization
    // segment and starting with a key frame. Called on any thread (usually the writer's own),
    // one call at a time, in order; also possible during a caster call (e.g. inside append).
    // Never called once cancelWriting has returned.
    virtual void segmentWriterDidOutputSegment(ByteBuffer data, SegmentType type) = 0;
};

// The segment writer (AVAssetWriter in segment-data mode, content type MPEG-4 movie).
class SegmentWriter {
  public:
    virtual ~SegmentWriter() = default;

    // ---- setup (task thread) ----
    virtual void setOutputFileTypeProfile(FileTypeProfile profile) = 0;
    // The caster sets 150/600 (0.25 s).
    virtual void setPreferredOutputSegmentInterval(MediaTime interval) = 0;
    virtual void setDelegate(std::weak_ptr<SegmentWriterDelegate> delegate) = 0;
    // New, unattached inputs of this writer (AVAssetWriterInput(mediaType:outputSettings:)).
    // Never null; settings this writer cannot encode make canAdd answer false.
    virtual std::shared_ptr<SegmentWriterInput> makeVideoInput(
        const VideoOutputSettings& settings) = 0;
    virtual std::shared_ptr<SegmentWriterInput> makeAudioInput(
        const AudioOutputSettings& settings) = 0;
    // Whether `input` (made by this writer) can be attached: false when its encoder is
    // unavailable (e.g. no H.264 encoder) or its settings are not supported. No side effects.
    virtual bool canAdd(const SegmentWriterInput& input) const = 0;
    // Attaches an input for which canAdd answered true.
    virtual void add(std::shared_ptr<SegmentWriterInput> input) = 0;

    // ---- start (videoQueue) ----
    // The first segment begins at this time (the first complete frame's presentation time).
    virtual void setInitialSegmentStartTime(MediaTime time) = 0;
    // Starts the encoders and the muxer; true when writing has begun (status writing), false
    // with status failed and error() set otherwise.
    virtual bool startWriting() = 0;
    // Samples from `sourceTime` on are written; output times count from it.
    virtual void startSession(MediaTime sourceTime) = 0;

    // ---- running (videoQueue; safe against the writer's own threads) ----
    virtual SegmentWriterStatus status() const = 0;
    // The error that made the writer fail, or none.
    virtual std::optional<Error> error() const = 0;

    // ---- end (videoQueue) ----
    // Stops at once: pending samples are discarded, no more segments are delivered, nothing
    // is finished or flushed. May be called in any status, also before startWriting; must not
    // wait for anything that needs the caster's videoQueue.
    virtual void cancelWriting() = 0;
};

// Creates a new writer for MPEG-4 movie content without an output file (AVAssetWriter(
// contentType:)). Called on the caster's task thread, once per cast. Never null: a writer that
// cannot encode answers canAdd false (or startWriting false, with an error).
using SegmentWriterFactory = std::function<std::shared_ptr<SegmentWriter>()>;

}  // namespace skylark
