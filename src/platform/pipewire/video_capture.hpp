#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/frames/yuv_drawer.hpp"

namespace skylark::pipewire {

// Receives one PipeWire video node and draws each buffer that carries new content into a
// picture of a fixed size in the encoder's YUV, on PipeWire's thread. Where the compositor
// reports damage and the size needs no scaling, only the damaged rows are converted and the
// rest copied from the previous picture.
//
// Formats: BGRx and BGRA are preferred; RGBx and RGBA are converted in the same pass. Only memory
// the process can map is asked for (no DMA-BUF), which every compositor that offers screen casting
// supports. The compositor is asked for at most `maxFrameRate` frames a second.
//
// A buffer counts as new content only when it has data, is not marked corrupted, and its
// damage (when the compositor reports damage) is not empty; any other buffer is skipped.
//
// Threads: start(), stop() and the destructor from one owner thread. The handlers run on
// PipeWire's thread, one at a time, and must not call stop() or destroy the capture.
class VideoCapture {
  public:
    struct Settings {
        uint32_t width = 0;   // of every picture
        uint32_t height = 0;  // of every picture
        uint32_t maxFrameRate = 30;
        // Pictures that may be out at once (queued, held by consumers, or the newest kept).
        uint32_t pictures = 10;
        std::string clientName = "Skylark";
    };
    // A newly drawn picture of the node's current content.
    using FrameHandler = std::function<void(std::shared_ptr<const frames::YuvPicture>)>;
    // Called at most once, with a sentence for the user, when the node or the connection goes
    // away or the stream fails for good.
    using EndHandler = std::function<void(const std::string& reason)>;
    // Diagnostic lines (the negotiated format, why the stream ended).
    using TraceHandler = std::function<void(std::string_view)>;

    // `remoteFd`: the PipeWire connection to use, which the capture owns from now on (closed
    // even when start() fails); -1 for the session's default daemon.
    VideoCapture(int remoteFd, uint32_t nodeId, Settings settings, FrameHandler onFrame,
                 EndHandler onEnd, TraceHandler onTrace);
    ~VideoCapture();
    VideoCapture(const VideoCapture&) = delete;
    VideoCapture& operator=(const VideoCapture&) = delete;

    // Connects to PipeWire and asks for the node's frames; they follow asynchronously. Returns
    // false with a sentence in `error` when PipeWire cannot be reached or the stream cannot be
    // made. Called once.
    bool start(std::string& error);

    // Disconnects. When it returns, no handler is running or will run.
    void stop();

    struct Counters {
        uint64_t drawn = 0;
        uint64_t withoutContent = 0;  // empty, corrupted or undamaged buffers
        uint64_t droppedBusy = 0;     // every picture was still out
    };
    Counters counters() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace skylark::pipewire
