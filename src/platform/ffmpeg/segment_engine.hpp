#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "common/bytes.hpp"
#include "platform/ffmpeg/audio_encoder.hpp"
#include "platform/ffmpeg/encoder_settings.hpp"
#include "platform/ffmpeg/fragment_muxer.hpp"
#include "platform/ffmpeg/video_encoder.hpp"

namespace skylark::ffmpeg {

// The synchronous heart of the writer: encodes frames and audio buffers as they are given and
// cuts the stream into segments. Not thread-safe: the writer's thread drives it.
//
// Segments follow the video: a segment starts with an IDR frame at the first frame at or after
// each multiple of the segment interval (so they average exactly the interval), and it is
// delivered as soon as its last frame is encoded when the frame rate lets that frame be told
// apart, otherwise when the next segment's first frame arrives. Each segment carries the audio
// packets that start before its video ends; the two tracks both start at time 0 and never
// have a gap.
//
// A segment is written as fragments, so a reader can play it while it grows: each video frame,
// once the next one gives its duration, goes out as a part with the audio that starts before
// it ends; audio that has waited for a segment's first frame or for a late frame goes out in a
// part of its own. The segment's last part also settles its audio (silence for audio that lags too
// far, at least one packet), and then the whole segment, the concatenation of its parts, follows.
//
// Times are nanoseconds on the clock of the session start.
class SegmentEngine {
  public:
    using Output = std::function<void(SegmentKind, Bytes)>;
    // Each video packet as it leaves the encoder, with its time on the session's clock.
    using VideoPacketOutput = std::function<void(const AVPacket&, std::int64_t time_ns)>;

    // Opens both encoders and the muxer. Throws EncoderFailure.
    SegmentEngine(const WriterSettings& settings, const EncoderTuning& tuning, Output output,
                  VideoPacketOutput videoPackets = nullptr);

    const AVCodecContext& videoContext() const { return video_.context(); }

    // Delivers the initialization segment; media before `sessionStart_ns` is dropped.
    void start(std::int64_t sessionStart_ns);
    // Encodes a frame. A frame not later than the previous one is dropped (false).
    bool addVideo(const VideoFrame& frame, std::int64_t time_ns);
    void addAudio(const AudioBuffer& samples, std::int64_t time_ns);
    // Delivers what is left as a last, possibly shorter, segment.
    void finish();

  private:
    void holdVideo(AVPacket& packet);
    void writeHeldVideo(std::int64_t duration);
    void keepAudio(AVPacket& packet);
    void writeAudio(std::int64_t audioEnd, bool atLeastOne);
    void flushPart();
    void cutSegment(std::int64_t videoEnd);

    WriterSettings settings_;
    Output output_;
    VideoPacketOutput videoPackets_;
    VideoEncoder video_;
    AudioEncoder audio_;
    FragmentMuxer muxer_;

    std::int64_t sessionStart_ns_ = 0;
    std::int64_t segmentInterval_ = 0;  // in video ticks, like every video time below
    std::int64_t maxKeyInterval_ = 0;
    std::int64_t nominalFrameInterval_ = 0;

    bool anyVideo_ = false;
    std::int64_t lastPts_ = 0;
    std::int64_t lastRealTime_ = 0;
    std::int64_t lastKeyPts_ = 0;
    std::int64_t nextBoundary_ = 0;
    // The last segment was cut after a frame whose successor was expected past the boundary;
    // that successor starts the next segment at fragmentEnd_.
    bool cutAhead_ = false;
    std::int64_t fragmentEnd_ = 0;
    std::int64_t lastInterval_ = 0;
    // The newest video packet waits for the next one, which gives its exact duration.
    PacketPtr heldVideo_;
    bool holdingVideo_ = false;
    std::deque<PacketPtr> pendingAudio_;
    std::int64_t writtenVideoEnd_ = 0;  // where the last video written to the muxer ends
    bool segmentHasAudio_ = false;
    Bytes segment_;  // the parts of the segment being written, so far
};

}  // namespace skylark::ffmpeg
