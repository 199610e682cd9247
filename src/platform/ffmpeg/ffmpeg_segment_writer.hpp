#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "caster/segment_writer.hpp"
#include "platform/ffmpeg/hls_segment_encoder.hpp"

namespace skylark {

// The caster's segment writer on FFmpeg: HLSSegmentEncoder behind the SegmentWriter interface.
//
// - canAdd opens the input's encoder once to try its settings, so an H.264 or AAC encoder that
//   is missing or refuses them makes it answer false; refusalReason() says why.
// - startWriting opens both encoders and the muxer (both inputs must be attached); a failure
//   leaves status failed with an error in the domain kErrorDomain.
// - startSession starts the writer's thread, which delivers the initialization segment and
//   then media segments to the delegate; times count from the session's time.
// - Appends hand the sample to that thread and never wait; an input is not ready while the
//   encoder is behind.
// - A failure while encoding makes status failed, with the error saying what failed.
class FFmpegSegmentWriter final : public SegmentWriter,
                                  public std::enable_shared_from_this<FFmpegSegmentWriter> {
  public:
    static constexpr const char* kErrorDomain = "org.skylark.ffmpeg";
    enum ErrorCode : std::int64_t {
        kCannotStart = 1,     // the encoders or the muxer could not be opened
        kEncodingFailed = 2,  // encoding or muxing failed while writing
    };

    static std::shared_ptr<FFmpegSegmentWriter> create();
    ~FFmpegSegmentWriter() override;

    void setOutputFileTypeProfile(FileTypeProfile profile) override;
    void setPreferredOutputSegmentInterval(MediaTime interval) override;
    void setDelegate(std::weak_ptr<SegmentWriterDelegate> delegate) override;
    std::shared_ptr<SegmentWriterInput> makeVideoInput(
        const VideoOutputSettings& settings) override;
    std::shared_ptr<SegmentWriterInput> makeAudioInput(
        const AudioOutputSettings& settings) override;
    bool canAdd(const SegmentWriterInput& input) const override;
    void add(std::shared_ptr<SegmentWriterInput> input) override;

    void setInitialSegmentStartTime(MediaTime time) override;
    bool startWriting() override;
    void startSession(MediaTime sourceTime) override;

    SegmentWriterStatus status() const override;
    std::optional<Error> error() const override;

    void cancelWriting() override;

    // Why canAdd last answered false, or an empty text.
    std::string refusalReason() const;

    class Input;  // the inputs this writer makes
    // Only create() can make one.
    class Key {
        friend class FFmpegSegmentWriter;
        Key() = default;
    };
    explicit FFmpegSegmentWriter(Key);

  private:
    bool isReady(const Input& input) const;
    bool append(const Input& input, const SampleBuffer& sample);
    void failStart(const std::string& message);

    mutable std::mutex lock_;
    std::weak_ptr<SegmentWriterDelegate> delegate_;
    MediaTime segmentInterval_ = MediaTime::make(150, 600);
    std::shared_ptr<Input> videoInput_;
    std::shared_ptr<Input> audioInput_;
    mutable std::string refusalReason_;
    std::unique_ptr<ffmpeg::HLSSegmentEncoder> encoder_;
    std::optional<Error> startError_;
    bool sessionStarted_ = false;
    bool cancelled_ = false;
};

// Makes one FFmpegSegmentWriter per call, for CasterPlatform::makeWriter. Limits FFmpeg's own
// log to errors: its per-cast statistics would otherwise fill standard error, where the
// caster's trace goes.
SegmentWriterFactory makeFFmpegSegmentWriterFactory();

}  // namespace skylark
