#include "platform/pipewire/video_capture.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/frames/frame_scaler.hpp"
#include "platform/frames/picture_pool.hpp"

namespace skylark::pipewire {
namespace {

constexpr uint32_t kMaxSide = 16384;
constexpr uint32_t kDamageRegions = 16;

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct LoopDeleter {
    void operator()(pw_thread_loop* l) const { pw_thread_loop_destroy(l); }
};
struct ContextDeleter {
    void operator()(pw_context* c) const { pw_context_destroy(c); }
};
struct CoreDeleter {
    void operator()(pw_core* c) const { pw_core_disconnect(c); }
};
struct StreamDeleter {
    void operator()(pw_stream* s) const { pw_stream_destroy(s); }
};
struct RegistryDeleter {
    void operator()(pw_registry* r) const { pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r)); }
};

// Holds the loop lock for a scope: PipeWire objects of a thread loop are touched only under it.
class LoopLock {
  public:
    explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~LoopLock() { pw_thread_loop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pw_thread_loop* loop_;
};

const char* formatName(spa_video_format format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
            return "BGRx";
        case SPA_VIDEO_FORMAT_BGRA:
            return "BGRA";
        case SPA_VIDEO_FORMAT_RGBx:
            return "RGBx";
        case SPA_VIDEO_FORMAT_RGBA:
            return "RGBA";
        default:
            return "other";
    }
}

// Whether the buffer's damage says nothing changed. Without damage metadata every buffer is
// taken as changed.
bool undamaged(const spa_buffer* buffer) {
    spa_meta* damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!damage) {
        return false;
    }
    spa_meta_region* region;
    spa_meta_for_each(region, damage) {
        if (spa_meta_region_is_valid(region)) {
            return false;
        }
    }
    return true;
}

}  // namespace

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
          pool_(frames::PicturePool::create(settings_.width, settings_.height,
                                            std::max<uint32_t>(settings_.pictures, 2))),
          scaler_(settings_.width, settings_.height) {}

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
        const spa_pod* formats = buildFormats(builder);
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
    const spa_pod* buildFormats(spa_pod_builder& b) const {
        spa_rectangle preferredSize = SPA_RECTANGLE(settings_.width, settings_.height);
        spa_rectangle minSize = SPA_RECTANGLE(1, 1);
        spa_rectangle maxSize = SPA_RECTANGLE(kMaxSide, kMaxSide);
        const uint32_t rate = std::max<uint32_t>(settings_.maxFrameRate, 1);
        spa_fraction preferredRate = SPA_FRACTION(rate, 1);
        spa_fraction variableRate = SPA_FRACTION(0, 1);
        spa_fraction lowestRate = SPA_FRACTION(1, 1);
        spa_fraction highestRate = SPA_FRACTION(1000, 1);
        return static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                   SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                   SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size,
            SPA_POD_CHOICE_RANGE_Rectangle(&preferredSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&preferredRate, &variableRate, &highestRate),
            SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&preferredRate, &lowestRate, &preferredRate)));
    }

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
        self->trace(std::string("PipeWire stream format ") + formatName(info.format) + " " +
                    std::to_string(info.size.width) + "x" + std::to_string(info.size.height) +
                    ", at most " + std::to_string(info.max_framerate.num) + "/" +
                    std::to_string(std::max<uint32_t>(info.max_framerate.denom, 1)) +
                    " frames a second");
        self->acceptFormat();
    }

    // Buffers the process can map, with the metadata that tells content from repeats.
    void acceptFormat() {
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[4];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
        params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions,
                                     sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * kDamageRegions)));
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
    // counts: the newest one then carries at least as much.
    void consider(pw_buffer* buffer, bool draw) {
        const spa_buffer* b = buffer->buffer;
        if (b->n_datas < 1 || sourceWidth_ == 0 || sourceHeight_ == 0) {
            ++withoutContent_;
            return;
        }
        const spa_data& d = b->datas[0];
        const spa_chunk* chunk = d.chunk;
        auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
        const bool corrupted = (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 ||
                               (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0);
        if (!d.data || chunk->size == 0 || corrupted || undamaged(b)) {
            ++withoutContent_;
            return;
        }
        if (!draw) {
            return;
        }
        uint32_t x = 0;
        uint32_t y = 0;
        uint32_t width = sourceWidth_;
        uint32_t height = sourceHeight_;
        auto* crop = static_cast<const spa_meta_region*>(
            spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        if (crop && spa_meta_region_is_valid(crop) && crop->region.position.x >= 0 &&
            crop->region.position.y >= 0 &&
            crop->region.position.x + crop->region.size.width <= sourceWidth_ &&
            crop->region.position.y + crop->region.size.height <= sourceHeight_) {
            x = static_cast<uint32_t>(crop->region.position.x);
            y = static_cast<uint32_t>(crop->region.position.y);
            width = crop->region.size.width;
            height = crop->region.size.height;
        }
        const size_t stride =
            chunk->stride > 0 ? static_cast<size_t>(chunk->stride) : size_t{sourceWidth_} * 4;
        const size_t offset = chunk->offset % std::max<uint32_t>(d.maxsize, 1);
        const size_t first = offset + stride * y + size_t{x} * 4;
        const size_t needed = first + stride * (height - 1) + size_t{width} * 4;
        if (stride < size_t{sourceWidth_} * 4 || needed > d.maxsize) {
            ++withoutContent_;
            return;
        }
        std::shared_ptr<frames::Picture> picture = pool_->acquire();
        if (!picture) {
            ++droppedBusy_;
            return;
        }
        frames::PixelView view;
        view.data = static_cast<const uint8_t*>(d.data) + first;
        view.width = width;
        view.height = height;
        view.stride = stride;
        view.order = order_;
        scaler_.draw(view, *picture);
        ++drawn_;
        if (onFrame_ && !ended_) {
            onFrame_(std::move(picture));
        }
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
    const std::shared_ptr<frames::PicturePool> pool_;

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
    frames::FrameScaler scaler_;
    uint32_t sourceWidth_ = 0;
    uint32_t sourceHeight_ = 0;
    frames::ChannelOrder order_ = frames::ChannelOrder::bgrx;
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
