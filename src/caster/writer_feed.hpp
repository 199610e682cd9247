#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "caster/stream_writer.hpp"
#include "common/media_frames.hpp"

namespace skylark {

// Feeds one cast's writer from the capture: starts it at the first frame, appends what follows,
// traces the first append of each kind and each failed append, and reports a writer that could
// not start or that failed, once. Confined to the caster's videoQueue: no lock.
class WriterFeed {
  public:
    using TraceLine = std::function<void(std::string_view line)>;
    // Ends the cast's output for good: the store stops and the status line says `message`.
    using Fail = std::function<void(std::string message)>;

    WriterFeed(TraceLine trace, Fail fail);

    // The writer of a new cast. Replaces one left by a capture start that failed.
    void attach(std::shared_ptr<StreamWriter> writer);
    void video(const VideoFrame& frame);
    void audio(const AudioBuffer& buffer);
    // The cast's teardown: cancels the writer and forgets it and everything about the cast.
    void reset();

  private:
    // Whether media stamped `time` goes to the writer (started, not earlier than the session,
    // writer not failed). Reports a failed writer the first time it is seen.
    bool admits(std::int64_t time_ns);
    void traceAppend(bool video, bool appended, bool& logged);
    std::string failureText() const;

    const TraceLine trace_;
    const Fail fail_;
    std::shared_ptr<StreamWriter> writer_;
    bool startAttempted_ = false;
    bool writing_ = false;
    bool loggedFirstVideo_ = false;
    bool loggedFirstAudio_ = false;
    bool reportedFailure_ = false;
    std::optional<std::int64_t> sessionStart_ns_;
};

}  // namespace skylark
