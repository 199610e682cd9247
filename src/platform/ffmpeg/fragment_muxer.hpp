#pragma once

#include "common/bytes.hpp"
#include "platform/ffmpeg/av_handles.hpp"

namespace skylark::ffmpeg {

// FFmpeg's mp4 muxer in fragment mode, writing into memory: the header is the HLS
// initialization segment (ftyp and an empty moov), and every fragment flushed on request (moof
// and mdat) carries its own sample offsets, so fragments can be sent one by one and a run of
// them starting with a key frame plays after the initialization segment alone.
// Not thread-safe: one thread drives it.
class FragmentMuxer {
  public:
    enum Track { video = 0, audio = 1 };

    // One video and one audio track, from the opened encoders. Throws EncoderFailure.
    FragmentMuxer(const AVCodecContext& video, const AVCodecContext& audio);

    // Writes the header and returns it: the initialization segment. Call once, first.
    Bytes writeHeader();
    // Adds a packet stamped in `timeBase` to the open fragment. The packet must carry its
    // duration; times within a track must rise.
    void write(AVPacket& packet, Track track, AVRational timeBase);
    // Closes the open fragment and returns it, or nothing when it holds no sample.
    Bytes flushFragment();

  private:
    // libavformat 61 (FFmpeg 7) hands the write callback const bytes; 59 (FFmpeg 5) does not.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    using WrittenBytes = const uint8_t*;
#else
    using WrittenBytes = uint8_t*;
#endif
    static int collect(void* opaque, WrittenBytes data, int size);
    Bytes take();

    IOContextPtr io_;
    FormatContextPtr format_;
    Bytes output_;  // what the muxer has written since the last take()
};

}  // namespace skylark::ffmpeg
