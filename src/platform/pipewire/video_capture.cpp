#include "platform/pipewire/video_capture.hpp"

#include <spa/param/video/format-utils.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/frames/picture_pool.hpp"
#include "platform/frames/yuv_convert.hpp"
#include "platform/pipewire/buffer_content.hpp"
#include "platform/pipewire/pipewire_handles.hpp"
#include "platform/pipewire/stream_params.hpp"

namespace skylark::pipewire {
class VideoCapture::Impl {
  public:
    Impl(int remoteFd, uint32_t nodeId, Settings settings, FrameHandler onFrame, EndHandler onEnd,
         TraceHandler onTrace)
        : remoteFd_(remoteFd),
          nodeId_(nodeId),
          settings_(std::move(settings)),
          onFrame_(std::move(onFrame)),
          onEnd_(std::move(onEnd)),
          onTrace_(std::move(onTrace)),
          // One more than may be out: the previous picture, kept to copy unchanged rows from.
          pool_(frames::YuvPicturePool::create(settings_.width, settings_.height,
                                               std::max<uint32_t>(settings_.pictures, 2) + 1)),
          drawer_(settings_.width, settings_.height) {}

    ~Impl() {
        stop();
        if (remoteFd_ >= 0) {
            ::close(remoteFd_);
        }
    }

    bool start(std::string& error) {
        initialiseOnce();
        loop_.reset(pw_thread_loop_new("skylark-pipewire", nullptr));
        if (!loop_) {
            error = "PipeWire could not be set up (no thread loop).";
            return false;
        }
        context_.reset(pw_context_new(pw_thread_loop_get_loop(loop_.get()), nullptr, 0));
        if (!context_) {
            error = "PipeWire could not be set up (no context).";
            return false;
        }
        if (pw_thread_loop_start(loop_.get()) < 0) {
            error = "PipeWire could not be set up (its thread did not start).";
            return false;
        }
        started_ = true;
        LoopLock lock(loop_.get());
        const int fd = std::exchange(remoteFd_, -1);
        core_.reset(fd >= 0 ? pw_context_connect_fd(context_.get(), fd, nullptr, 0)
                            : pw_context_connect(context_.get(), nullptr, 0));
        if (!core_) {
            error = std::string("Could not connect to PipeWire: ") + std::strerror(errno) + ".";
            return false;
        }
        pw_core_add_listener(core_.get(), &coreHook_, &kCoreEvents, this);
        registry_.reset(pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0));
        if (registry_) {
            pw_registry_add_listener(registry_.get(), &registryHook_, &kRegistryEvents, this);
        }
        stream_.reset(
            pw_stream_new(core_.get(), settings_.clientName.c_str(),
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
        if (!stream_) {
            error =
                std::string("Could not create a PipeWire stream: ") + std::strerror(errno) + ".";
            return false;
        }
        pw_stream_add_listener(stream_.get(), &streamHook_, &kStreamEvents, this);

        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* formats =
            buildFormats(builder, settings_.width, settings_.height, settings_.maxFrameRate);
        const int connected = pw_stream_connect(
            stream_.get(), PW_DIRECTION_INPUT, nodeId_,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_DONT_RECONNECT),
            &formats, 1);
        if (connected < 0) {
            error = std::string("Could not connect to the shared screen's PipeWire node: ") +
                    std::strerror(-connected) + ".";
            return false;
        }
        return true;
    }

    void stop() {
        if (!loop_) {
            return;
        }
        if (started_) {
            LoopLock lock(loop_.get());
            stopping_ = true;
            if (stream_) {
                spa_hook_remove(&streamHook_);
                pw_stream_disconnect(stream_.get());
                stream_.reset();
            }
            if (registry_) {
                spa_hook_remove(&registryHook_);
                registry_.reset();
            }
            if (core_) {
                spa_hook_remove(&coreHook_);
                core_.reset();
            }
        }
        pw_thread_loop_stop(loop_.get());
        started_ = false;
        context_.reset();
        loop_.reset();
    }

    Counters counters() const {
        return {drawn_.load(), withoutContent_.load(), droppedBusy_.load()};
    }

  private:
    // ---- PipeWire callbacks, on its thread with the loop lock held ----

    static void onCoreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
        auto* self = static_cast<Impl*>(data);
        if (id != PW_ID_CORE) {
            return;
        }
        self->trace(std::string("PipeWire connection error: ") + (message ? message : "") + " (" +
                    std::strerror(-res) + ")");
        self->end(res == -EPIPE ? "The connection to PipeWire was lost, so screen sharing ended."
                                : std::string("PipeWire reported an error: ") +
                                      (message ? message : std::strerror(-res)) + ".");
    }

    static void onGlobalRemove(void* data, uint32_t id) {
        auto* self = static_cast<Impl*>(data);
        if (id == self->nodeId_) {
            self->trace("the shared PipeWire node was removed");
            self->end("The shared screen or window is no longer available.");
        }
    }

    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_STREAMING || state == PW_STREAM_STATE_ERROR ||
            old == PW_STREAM_STATE_STREAMING) {
            self->trace(std::string("PipeWire stream ") + pw_stream_state_as_string(old) + " -> " +
                        pw_stream_state_as_string(state) +
                        (error ? std::string(": ") + error : ""));
        }
        if (state == PW_STREAM_STATE_ERROR) {
            self->end(std::string("The screen-sharing stream failed: ") +
                      (error ? error : "unknown error") + ".");
        } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
            self->end("The desktop ended the screen sharing.");
        }
    }

    static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (id != SPA_PARAM_Format || !param) {
            return;
        }
        uint32_t mediaType = 0;
        uint32_t mediaSubtype = 0;
        spa_video_info_raw info{};
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0) {
            self->end("The desktop offered the shared screen in a format that cannot be read.");
            return;
        }
        self->sourceWidth_ = info.size.width;
        self->sourceHeight_ = info.size.height;
        self->order_ = info.format == SPA_VIDEO_FORMAT_RGBx || info.format == SPA_VIDEO_FORMAT_RGBA
                           ? frames::ChannelOrder::rgbx
                           : frames::ChannelOrder::bgrx;
        self->wholeNext_ = true;
        self->trace(std::string("PipeWire stream format ") + formatName(info.format) + " " +
                    std::to_string(info.size.width) + "x" + std::to_string(info.size.height) +
                    ", at most " + std::to_string(info.max_framerate.num) + "/" +
                    std::to_string(std::max<uint32_t>(info.max_framerate.denom, 1)) +
                    " frames a second");
        self->acceptFormat();
    }

    void acceptFormat() {
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[4];
        buildBufferParams(b, params);
        pw_stream_update_params(stream_.get(), params, 4);
    }

    static void onProcess(void* data) {
        auto* self = static_cast<Impl*>(data);
        // Only the newest buffer matters; older ones go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* b = pw_stream_dequeue_buffer(self->stream_.get())) {
            if (newest) {
                self->consider(newest, /*draw=*/false);
                pw_stream_queue_buffer(self->stream_.get(), newest);
            }
            newest = b;
        }
        if (newest) {
            self->consider(newest, /*draw=*/true);
            pw_stream_queue_buffer(self->stream_.get(), newest);
        }
    }

    // Draws the buffer when it carries content. A skipped older buffer with content still
    // counts: the newest one then carries at least as much, and its damage is kept for it.
    void consider(pw_buffer* buffer, bool draw) {
        const std::optional<BufferContent> content =
            newContent(buffer->buffer, sourceWidth_, sourceHeight_, order_);
        if (!content) {
            ++withoutContent_;
            return;
        }
        const int32_t reported = buffer->buffer->datas[0].chunk->stride;
        if (reported > 0 && static_cast<size_t>(reported) != content->pixels.stride &&
            !strideNoted_) {
            strideNoted_ = true;
            trace("PipeWire buffer stride of " + std::to_string(reported) +
                  " bytes is too short for a row; its rows are read packed");
        }
        noteDamage(*content);
        if (!draw) {
            return;
        }
        std::shared_ptr<frames::YuvPicture> picture = pool_->acquire();
        if (!picture) {
            ++droppedBusy_;
            return;
        }
        // Whole now and then as well: damage the compositor dropped along with a frame it
        // could not hand over would otherwise leave stale rows for good.
        const bool whole = wholeNext_ || ++sinceWhole_ >= kWholeEvery;
        std::shared_ptr<const frames::YuvPicture> frame =
            drawer_.draw(content->pixels, whole ? nullptr : &damage_, std::move(picture));
        damage_.clear();
        wholeNext_ = false;
        sinceWhole_ = whole ? 0 : sinceWhole_;
        ++drawn_;
        if (onFrame_ && !ended_) {
            onFrame_(std::move(frame));
        }
    }

    // Adds a buffer's damage to what changed since the last picture. Rows counted from another
    // crop's top say nothing about this one.
    void noteDamage(const BufferContent& content) {
        if (!content.changed || content.left != cropLeft_ || content.top != cropTop_) {
            wholeNext_ = true;
        } else {
            damage_.insert(damage_.end(), content.changed->begin(), content.changed->end());
            frames::mergeRows(damage_);
        }
        cropLeft_ = content.left;
        cropTop_ = content.top;
    }

    void end(const std::string& reason) {
        if (stopping_ || ended_.exchange(true)) {
            return;
        }
        if (onEnd_) {
            onEnd_(reason);
        }
    }

    void trace(std::string_view line) {
        if (onTrace_) {
            onTrace_(line);
        }
    }

    static constexpr pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &Impl::onCoreError;
        return events;
    }();
    static constexpr pw_registry_events kRegistryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global_remove = &Impl::onGlobalRemove;
        return events;
    }();
    static constexpr pw_stream_events kStreamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Impl::onStateChanged;
        events.param_changed = &Impl::onParamChanged;
        events.process = &Impl::onProcess;
        return events;
    }();

    int remoteFd_;
    const uint32_t nodeId_;
    const Settings settings_;
    const FrameHandler onFrame_;
    const EndHandler onEnd_;
    const TraceHandler onTrace_;
    const std::shared_ptr<frames::YuvPicturePool> pool_;

    // Declared so that destruction runs in reverse: stream, registry, core, context, loop.
    std::unique_ptr<pw_thread_loop, LoopDeleter> loop_;
    std::unique_ptr<pw_context, ContextDeleter> context_;
    std::unique_ptr<pw_core, CoreDeleter> core_;
    std::unique_ptr<pw_registry, RegistryDeleter> registry_;
    std::unique_ptr<pw_stream, StreamDeleter> stream_;
    spa_hook coreHook_{};
    spa_hook registryHook_{};
    spa_hook streamHook_{};
    bool started_ = false;

    // On PipeWire's thread only, after start().
    static constexpr uint32_t kWholeEvery = 30;
    frames::YuvDrawer drawer_;
    std::vector<frames::RowSpan> damage_;  // rows changed since the last picture
    bool wholeNext_ = true;
    uint32_t sinceWhole_ = 0;
    uint32_t cropLeft_ = 0;
    uint32_t cropTop_ = 0;
    uint32_t sourceWidth_ = 0;
    uint32_t sourceHeight_ = 0;
    frames::ChannelOrder order_ = frames::ChannelOrder::bgrx;
    bool strideNoted_ = false;
    bool stopping_ = false;  // under the loop lock
    std::atomic<bool> ended_{false};

    std::atomic<uint64_t> drawn_{0};
    std::atomic<uint64_t> withoutContent_{0};
    std::atomic<uint64_t> droppedBusy_{0};
};

VideoCapture::VideoCapture(int remoteFd, uint32_t nodeId, Settings settings, FrameHandler onFrame,
                           EndHandler onEnd, TraceHandler onTrace)
    : impl_(std::make_unique<Impl>(remoteFd, nodeId, std::move(settings), std::move(onFrame),
                                   std::move(onEnd), std::move(onTrace))) {}

VideoCapture::~VideoCapture() = default;

bool VideoCapture::start(std::string& error) {
    return impl_->start(error);
}

void VideoCapture::stop() {
    impl_->stop();
}

VideoCapture::Counters VideoCapture::counters() const {
    return impl_->counters();
}

}  // namespace skylark::pipewire
