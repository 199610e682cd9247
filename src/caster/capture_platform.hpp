#pragma once

// What the native caster requires of a screen-capture platform (in the order of a cast), as small
// abstract classes that carry no library type. The caster owns these interfaces; the X11, portal /
// PipeWire and PulseAudio implementations under src/platform/ implement them, and the unit tests
// fake them.
//
// Threads, in one place (details at each class):
// - ContentPicker: called by the caster on the main thread only.
// - ContentPickerObserver: called by the picker on the main thread, from its event loop.
// - CaptureStream: created and driven by the caster from its task thread (never the main
//   thread, never the sample queue); stopCapture may come while startCapture is pending.
// - CaptureStreamOutput: called by the stream only through the serial queue given to
//   addStreamOutput (the caster's videoQueue), one frame or buffer at a time.
// - CaptureStreamDelegate: called by the stream on any thread, never on the sample queue.
//
// Ownership: the caster holds the picker and its current stream by std::shared_ptr; the picker
// and the stream hold the caster only weakly (std::weak_ptr), so that no cycle keeps either
// alive. Implementations lock the weak pointer for each call and skip the call when it fails.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "common/error.hpp"
#include "common/executor.hpp"
#include "common/media_frames.hpp"

namespace skylark {

class CaptureStream;

// ---- Content filter -------------------------------------------------------------------------

// The size of the chosen content in points (logical pixels), 64-bit floating point.
struct ContentSize {
    double width = 0;
    double height = 0;
};

// What the user chose in the picker: one display or one application. The
// caster reads only its size; everything else is the implementation's own (which display,
// which windows), reached by the stream factory with dynamic_cast to the implementation's
// subclass. Immutable once the picker has reported it; shared by std::shared_ptr<const>.
class ContentFilter {
  public:
    virtual ~ContentFilter() = default;
    // The captured content's rectangle size, in points.
    virtual ContentSize contentRect() const = 0;
    // Pixels per point (1 on X11 without scaling). The caster widens it to double.
    virtual float pointPixelScale() const = 0;
};

// ---- Content picker -------------------------------------------------------------------------

// Picker modes, as bits.
struct PickerMode {
    static constexpr std::uint32_t singleWindow = 1u << 0;
    static constexpr std::uint32_t multipleWindows = 1u << 1;
    static constexpr std::uint32_t singleApplication = 1u << 2;  // 4
    static constexpr std::uint32_t multipleApplications = 1u << 3;
    static constexpr std::uint32_t singleDisplay = 1u << 4;  // 16
};

// What the picker offers (the caster asks for singleDisplay | singleApplication).
struct ContentPickerConfiguration {
    std::uint32_t allowedPickerModes = PickerMode::singleWindow | PickerMode::multipleWindows |
                                       PickerMode::singleApplication |
                                       PickerMode::multipleApplications | PickerMode::singleDisplay;
};

class ContentPicker;

// Receives the outcome of one presentation: exactly one of the three calls follows a
// present(). A presentation made while the picker is still shown joins it: that one outcome
// goes to the newest presentation's observer. Calls come on the main thread (the thread of
// present()), from its event loop: never from inside a ContentPicker call, and never while
// holding a lock that the picker's own operations take.
class ContentPickerObserver {
  public:
    virtual ~ContentPickerObserver() = default;
    // The user chose `filter` (never null).
    virtual void pickerDidChoose(ContentPicker& picker,
                                 std::shared_ptr<const ContentFilter> filter) = 0;
    // The user dismissed the picker without a choice.
    virtual void pickerDidCancel(ContentPicker& picker) = 0;
    // The picker could not be shown or could not list any content; the error's localized
    // description becomes the status line.
    virtual void pickerDidFail(const Error& error) = 0;
};

// The process's one content-sharing picker. The caster calls present() on the main thread for
// every cast it starts.
class ContentPicker {
  public:
    virtual ~ContentPicker() = default;
    // Shows the picker offering what `configuration` allows and returns at once, without
    // calling the observer; the outcome reaches `observer` (held weakly) later.
    virtual void present(const ContentPickerConfiguration& configuration,
                         std::weak_ptr<ContentPickerObserver> observer) = 0;
};

// ---- Stream configuration -------------------------------------------------------------------

// Plain data, set by the caster before it creates the stream. Frames come as I420 pictures
// (media_frames.hpp), audio as interleaved float.
struct StreamConfiguration {
    std::int64_t width = 0;   // pixels of every delivered frame
    std::int64_t height = 0;  // pixels of every delivered frame
    // Frames come at most once per this interval (the caster sets 1/30 s); zero or less: as
    // fast as the screen changes.
    std::int64_t minimumFrameInterval_ns = 0;
    // How many frames may wait undelivered (queued to the output, not yet handled) before the
    // capture skips frames instead of queueing more (the caster sets 5).
    std::int32_t queueDepth = 8;
    bool capturesAudio = false;
    std::int32_t sampleRate = 48000;
    std::int32_t channelCount = 2;
};

// ---- Capture stream -------------------------------------------------------------------------

// The outputs a stream delivers (numbered: an error names a type by its number).
enum class StreamOutputType : std::int32_t {
    screen = 0,
    audio = 1,
};

// Receives captured media, called only from work items of the queue given to addStreamOutput.
// Streams deliver only complete frames with new content.
class CaptureStreamOutput {
  public:
    virtual ~CaptureStreamOutput() = default;
    // An I420 picture of the configured width and height, at most one per
    // minimumFrameInterval_ns.
    virtual void streamDidOutputVideo(const VideoFrame& frame) = 0;
    // Interleaved float at the configured rate and channel count.
    virtual void streamDidOutputAudio(const AudioBuffer& buffer) = 0;
};

// Receives the report of an unexpected end.
class CaptureStreamDelegate {
  public:
    virtual ~CaptureStreamDelegate() = default;
    // The capture ended without being asked to (the window closed, the display went away, the
    // X server died): called at most once per stream, on any thread except the sample queue,
    // never from inside a CaptureStream call, and never as a result of stopCapture.
    virtual void streamDidStopWithError(CaptureStream& stream, const Error& error) = 0;
};

// Completion of startCapture / stopCapture: no error on success. The stream calls each
// completion exactly once and then releases it; a completion never blocks, and it may capture
// the caster and its task state (so the stream must not keep it after calling it).
using CaptureCompletion = std::function<void(std::optional<Error>)>;

// A capture stream for one cast: created unstarted by CaptureStreamFactory, then
// addStreamOutput for screen and for audio, startCapture, and later stopCapture. The caster
// calls these from its task thread, one call at a time (with happens-before between calls).
// A stream is never restarted: after stopCapture (or an unexpected end) it is dropped.
// The caster may release its last reference to the stream on any of its own threads (task
// thread, videoQueue, main), also right after a completion has been called, while a stop is
// pending, or while samples are still queued; never from inside a call into the stream or a
// callback of the stream's. The destructor stops whatever still runs and joins the stream's own
// threads; work still queued must not need the stream object (it holds what it needs by
// shared_ptr and the output by weak_ptr).
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;

    // Delivers samples of `type` to `output` by posting each to `queue` (the caster's serial
    // videoQueue) once the capture runs. Called for `screen`, then for `audio`, before
    // startCapture. Returns an error when that output cannot be delivered (e.g. "no such
    // output type"). A sound server that cannot be reached is not an error here: the
    // implementation delivers silence, or nothing, and says why in its own diagnostics.
    //
    // Implementations keep at most StreamConfiguration::queueDepth screen frames posted and not
    // yet handled; a frame beyond that is skipped, not queued.
    virtual std::optional<Error> addStreamOutput(std::weak_ptr<CaptureStreamOutput> output,
                                                 StreamOutputType type,
                                                 std::shared_ptr<Executor> queue) = 0;

    // Starts the capture and returns at once; `completion` is called exactly once, on any thread
    // (also inline, before startCapture returns), with no error when the capture runs (samples
    // may be posted from just before the completion on), or with the error that prevented it.
    virtual void startCapture(CaptureCompletion completion) = 0;

    // Stops the capture and returns at once; `completion` is called exactly once, on any thread
    // (also inline), when no further sample will be posted, with an error if stopping failed
    // (the caster ignores it). May be called while a startCapture is pending: the capture then
    // ends stopped, and the pending start completes too (success or error, before or after the
    // stop's completion). May be called after an unexpected end or a failed start, and more
    // than once: a later call completes as soon as the capture is stopped.
    virtual void stopCapture(CaptureCompletion completion) = 0;
};

// Creates an unstarted stream for `filter` (made by this platform's picker) with `configuration`,
// reporting an unexpected end to `delegate`. Called
// on the caster's task thread. An implementation that cannot build a stream at all (no display
// connection, a filter of another platform) returns the error instead, with a description
// that says what is unavailable; the caster treats it like a failed addStreamOutput.
using CaptureStreamResult = std::variant<std::shared_ptr<CaptureStream>, Error>;
using CaptureStreamFactory = std::function<CaptureStreamResult(
    std::shared_ptr<const ContentFilter> filter, const StreamConfiguration& configuration,
    std::weak_ptr<CaptureStreamDelegate> delegate)>;

}  // namespace skylark
