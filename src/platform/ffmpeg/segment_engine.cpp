#include "platform/ffmpeg/segment_engine.hpp"

#include <algorithm>
#include <utility>

namespace skylark::ffmpeg {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

std::int64_t toTicks(std::int64_t nanoseconds, AVRational timeBase) {
    return av_rescale_q(nanoseconds, AVRational{1, kNanosecondsPerSecond}, timeBase);
}

// The most audio frames of silence a segment may need to carry some audio: the AAC encoder
// holds back two frames.
constexpr int kMaxSilenceFrames = 4;
constexpr std::int64_t kMaxPendingAudio_s = 4;
// Audio is stamped when captured and reaches the writer within a few tens of milliseconds;
// beyond this lag behind the video it is taken as missing.
constexpr std::int64_t kMaxAudioLag_ms = 150;
// Audio packets (21 ms each at 48 kHz) that may wait for a late frame before going out alone.
constexpr std::size_t kMaxAudioPacketsWaiting = 4;

}  // namespace

SegmentEngine::SegmentEngine(const WriterSettings& settings, const EncoderTuning& tuning,
                             Output output, VideoPacketOutput videoPackets)
    : settings_(settings),
      output_(std::move(output)),
      videoPackets_(std::move(videoPackets)),
      video_(settings, tuning.preset),
      audio_(settings),
      muxer_(video_.context(), audio_.context()),
      heldVideo_(allocatePacket()) {
    segmentInterval_ =
        std::max<std::int64_t>(1, toTicks(settings.segment_interval_ns, VideoEncoder::kTimeBase));
    maxKeyInterval_ = std::max<std::int64_t>(
        1, toTicks(settings.key_frame_max_interval_ns, VideoEncoder::kTimeBase));
    nominalFrameInterval_ = VideoEncoder::kTimeBase.den / settings.frame_rate_fps;
}

void SegmentEngine::start(std::int64_t sessionStart_ns) {
    sessionStart_ns_ = sessionStart_ns;
    output_(SegmentKind::initialization, muxer_.writeHeader());
}

bool SegmentEngine::addVideo(const VideoFrame& frame, std::int64_t time_ns) {
    const std::int64_t real = toTicks(time_ns - sessionStart_ns_, VideoEncoder::kTimeBase);
    std::int64_t pts = 0;
    bool startsSegment = true;
    if (!anyVideo_) {
        // Both tracks start at 0: the muxer would otherwise shift each to its own first time.
        if (real < 0) {
            return false;
        }
    } else if (cutAhead_) {
        pts = fragmentEnd_;
    } else {
        if (real <= lastRealTime_) {
            return false;
        }
        pts = std::max(real, lastPts_ + 1);
        startsSegment = pts >= nextBoundary_;
    }

    if (startsSegment && holdingVideo_) {
        writeHeldVideo(pts - lastPts_);
        cutSegment(pts);
    }
    if (startsSegment) {
        nextBoundary_ = (pts / segmentInterval_ + 1) * segmentInterval_;
    }
    bool keyFrame = startsSegment || pts - lastKeyPts_ >= maxKeyInterval_;
    if (keyFrame) {
        lastKeyPts_ = pts;
    }
    // The real spacing of frames, but never more than the nominal one: a pause in the capture
    // must not be mistaken for the frame rate.
    std::int64_t interval =
        anyVideo_ ? std::clamp<std::int64_t>(real - lastRealTime_, 1, nominalFrameInterval_)
                  : nominalFrameInterval_;

    video_.encode(frame, pts, keyFrame, [this](AVPacket& packet) { holdVideo(packet); });
    // A segment's first frame waits for the next to give its duration; the audio that ends the
    // previous segment's video reaches us only now, and holding it that frame longer would
    // leave readers without anything to play across the boundary. It goes ahead on its own.
    if (startsSegment && holdingVideo_ && segment_.empty()) {
        flushPart();
    }
    anyVideo_ = true;
    cutAhead_ = false;
    lastPts_ = pts;
    lastRealTime_ = std::max(real, pts);
    lastInterval_ = interval;

    // When the next frame is due past the boundary, this one ends the segment: deliver it now
    // rather than a frame later.
    if (pts + interval >= nextBoundary_ && holdingVideo_) {
        writeHeldVideo(interval);
        fragmentEnd_ = pts + interval;
        cutSegment(fragmentEnd_);
        cutAhead_ = true;
    }
    return true;
}

void SegmentEngine::holdVideo(AVPacket& packet) {
    if (videoPackets_) {
        videoPackets_(packet,
                      sessionStart_ns_ + av_rescale_q(packet.pts, VideoEncoder::kTimeBase,
                                                      AVRational{1, kNanosecondsPerSecond}));
    }
    if (holdingVideo_) {
        writeHeldVideo(packet.pts - heldVideo_->pts);
        flushPart();
    }
    av_packet_move_ref(heldVideo_.get(), &packet);
    holdingVideo_ = true;
}

void SegmentEngine::writeHeldVideo(std::int64_t duration) {
    heldVideo_->duration = std::max<std::int64_t>(duration, 1);
    writtenVideoEnd_ = heldVideo_->pts + heldVideo_->duration;
    muxer_.write(*heldVideo_, FragmentMuxer::video, VideoEncoder::kTimeBase);
    av_packet_unref(heldVideo_.get());
    holdingVideo_ = false;
}

void SegmentEngine::addAudio(const AudioBuffer& samples, std::int64_t time_ns) {
    // Audio waits for the video that closes its segment. When no frame comes for seconds,
    // further audio is left out rather than memory growing without bound; the timeline is
    // filled with silence for that time once the video goes on.
    const auto limit = static_cast<std::size_t>(kMaxPendingAudio_s * audio_.context().sample_rate /
                                                audio_.context().frame_size);
    if (pendingAudio_.size() >= limit) {
        return;
    }
    const std::int64_t position = toTicks(time_ns - sessionStart_ns_, audio_.timeBase());
    audio_.add(samples, position, [this](AVPacket& packet) { keepAudio(packet); });
    // A late frame keeps the audio before it waiting too; past a few packets, more than the
    // two frame intervals of a segment boundary gather at 30 fps, that audio goes out on its
    // own. Frames at 20 fps or more never let this many gather between them, so the fragment
    // rate stays the video's.
    const std::int64_t videoEnd =
        av_rescale_q(writtenVideoEnd_, VideoEncoder::kTimeBase, audio_.timeBase());
    if (holdingVideo_ && pendingAudio_.size() >= kMaxAudioPacketsWaiting &&
        pendingAudio_[kMaxAudioPacketsWaiting - 1]->pts < videoEnd) {
        flushPart();
    }
}

void SegmentEngine::keepAudio(AVPacket& packet) {
    PacketPtr kept = allocatePacket();
    av_packet_move_ref(kept.get(), &packet);
    pendingAudio_.push_back(std::move(kept));
}

// The audio that starts before `audioEnd`; with `atLeastOne` and none yet in the segment, one
// packet even when audio runs ahead.
void SegmentEngine::writeAudio(std::int64_t audioEnd, bool atLeastOne) {
    while (!pendingAudio_.empty() &&
           (pendingAudio_.front()->pts < audioEnd || (atLeastOne && !segmentHasAudio_))) {
        muxer_.write(*pendingAudio_.front(), FragmentMuxer::audio, audio_.timeBase());
        pendingAudio_.pop_front();
        segmentHasAudio_ = true;
    }
}

// No silence here: audio a few milliseconds late simply goes into the next part.
void SegmentEngine::flushPart() {
    writeAudio(av_rescale_q(writtenVideoEnd_, VideoEncoder::kTimeBase, audio_.timeBase()), false);
    Bytes part = muxer_.flushFragment();
    if (!part.empty()) {
        segment_.insert(segment_.end(), part.begin(), part.end());
        output_(SegmentKind::part, std::move(part));
    }
}

void SegmentEngine::cutSegment(std::int64_t videoEnd) {
    // hls.js feeds audio and video of a segment into one buffer and needs both in every
    // segment. Audio that lags the video by more than it ever should (none comes at all, or its
    // source stalls) is replaced by silence; if it turns up later, the overlap is cut away.
    const std::int64_t audioEnd =
        av_rescale_q(videoEnd, VideoEncoder::kTimeBase, audio_.timeBase());
    const std::int64_t allowedLag = kMaxAudioLag_ms * audio_.context().sample_rate / 1000;
    if (audio_.end() < audioEnd - allowedLag) {
        audio_.addSilence(audioEnd - allowedLag - audio_.end(),
                          [this](AVPacket& packet) { keepAudio(packet); });
    }
    // The encoder holds back a frame or two: pad until one packet is out.
    for (int frames = 0; !segmentHasAudio_ && pendingAudio_.empty() && frames < kMaxSilenceFrames;
         ++frames) {
        audio_.addSilence(audio_.context().frame_size,
                          [this](AVPacket& packet) { keepAudio(packet); });
    }
    writeAudio(audioEnd, true);
    flushPart();
    segmentHasAudio_ = false;
    if (!segment_.empty()) {
        // Stored for seconds: exactly sized, while the scratch keeps its capacity for the next.
        Bytes segment(segment_.begin(), segment_.end());
        segment_.clear();
        output_(SegmentKind::media, std::move(segment));
    }
}

void SegmentEngine::finish() {
    if (!holdingVideo_) {
        return;
    }
    writeHeldVideo(lastInterval_);
    cutSegment(lastPts_ + lastInterval_);
}

}  // namespace skylark::ffmpeg
