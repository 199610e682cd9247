// One application window through XComposite: its own pixels even where covered, following its
// size, ending with it.
#include <xcb/composite.h>

#include "platform/x11/frame_source.hpp"
#include "platform/x11/pointer_overlay.hpp"

namespace skylark::x11 {
namespace {

class WindowSource final : public FrameSource {
  public:
    WindowSource(std::unique_ptr<Connection> conn, xcb_window_t window)
        : conn_(std::move(conn)), window_(window), pointer_(*conn_) {}

    ~WindowSource() override {
        if (!conn_->broken()) {
            releasePixmap();
            xcb_composite_unredirect_window(conn_->get(), window_,
                                            XCB_COMPOSITE_REDIRECT_AUTOMATIC);
            xcb_flush(conn_->get());
        }
    }

    bool init(std::string& error) {
        xcb_connection_t* c = conn_->get();
        if (!ShmImage::available(*conn_, error)) {
            return false;
        }
        if (!conn_->hasExtension(xcb_composite_id)) {
            error =
                "The X server does not offer the Composite extension, which sharing one "
                "application needs; share a whole display instead.";
            return false;
        }
        Reply<xcb_composite_query_version_reply_t> version(
            xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        Reply<xcb_get_window_attributes_reply_t> attrs(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window_), nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, window_), nullptr));
        if (!version || !attrs || !geometry) {
            error = "The application's window is no longer there.";
            return false;
        }
        if (!pixelLayoutUsable(*conn_, geometry->depth, attrs->visual, error)) {
            return false;
        }
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, &mask);
        // Automatic redirection keeps the window on screen as before while giving it an
        // off-screen pixmap of its own, and it coexists with a compositing manager's.
        xcb_composite_redirect_window(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        adoptGeometry(geometry->width, geometry->height, geometry->border_width);
        mapped_ = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
        if (mapped_) {
            namePixmap();
        }
        // The new pixmap may hold what covered the window until it repaints; ask it to.
        xcb_clear_area(c, 1, window_, 0, 0, 0, 0);
        xcb_flush(c);
        return growShm(error);
    }

    Grab grab() override {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(conn_->get())}) {
            if (!handle(*event)) {
                return end("The application's window went away.");
            }
        }
        if (conn_->broken()) {
            return end(std::string(kConnectionLostText));
        }
        if (!mapped_ || pixmap_ == XCB_PIXMAP_NONE) {
            return {Status::failed, {}, true, {}};
        }
        std::string error;
        if (!growShm(error)) {
            return end(error);
        }
        pointer_.ask(window_);
        PixelView pixels =
            shm_->grab(pixmap_, static_cast<int16_t>(border_), static_cast<int16_t>(border_),
                       static_cast<uint16_t>(width_), static_cast<uint16_t>(height_));
        if (pixels.data == nullptr) {
            if (conn_->broken()) {
                return end(std::string(kConnectionLostText));
            }
            // Destroyed windows are usually noticed by their event; this catches the rest.
            if (!windowExists()) {
                return end("The application's window went away.");
            }
            return {Status::failed, {}, true, {}};
        }
        // Only while the pointer is over the window's area, covered there or not.
        pointer_.draw(shm_->data(), pixels.width, pixels.height, pixels.stride, 0, 0, true);
        return {Status::ok, pixels, true, {}};
    }

    const std::string& endReason() const override { return endReason_; }
    const std::string& pointerProblem() const override { return pointer_.problem(); }

  private:
    // Returns false when the window is gone.
    bool handle(const xcb_generic_event_t& event) {
        if (pointer_.handle(event)) {
            return true;
        }
        switch (event.response_type & 0x7f) {
            case XCB_DESTROY_NOTIFY: {
                const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
                return e.window != window_;
            }
            case XCB_CONFIGURE_NOTIFY: {
                const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
                if (e.window == window_ &&
                    (e.width != width_ || e.height != height_ || e.border_width != border_)) {
                    adoptGeometry(e.width, e.height, e.border_width);
                    // The pixmap has the old size; a new name gets the new one.
                    if (mapped_) {
                        namePixmap();
                    }
                }
                return true;
            }
            case XCB_UNMAP_NOTIFY: {
                const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
                if (e.window == window_) {
                    mapped_ = false;
                    releasePixmap();
                }
                return true;
            }
            case XCB_MAP_NOTIFY: {
                const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(event);
                if (e.window == window_) {
                    mapped_ = true;
                    namePixmap();
                }
                return true;
            }
            default:
                return true;
        }
    }

    void adoptGeometry(uint32_t width, uint32_t height, uint32_t border) {
        width_ = width;
        height_ = height;
        border_ = border;
    }

    void namePixmap() {
        releasePixmap();
        pixmap_ = xcb_generate_id(conn_->get());
        Reply<xcb_generic_error_t> error(xcb_request_check(
            conn_->get(),
            xcb_composite_name_window_pixmap_checked(conn_->get(), window_, pixmap_)));
        if (error) {
            pixmap_ = XCB_PIXMAP_NONE;
        }
    }

    void releasePixmap() {
        if (pixmap_ != XCB_PIXMAP_NONE) {
            xcb_free_pixmap(conn_->get(), pixmap_);
            pixmap_ = XCB_PIXMAP_NONE;
        }
    }

    bool growShm(std::string& error) {
        const size_t needed = size_t{width_} * height_ * 4;
        if (shm_ && shm_->capacity() >= needed) {
            return true;
        }
        shm_.reset();
        shm_ = ShmImage::create(*conn_, needed, error);
        return shm_ != nullptr;
    }

    bool windowExists() {
        Reply<xcb_get_window_attributes_reply_t> attrs(xcb_get_window_attributes_reply(
            conn_->get(), xcb_get_window_attributes(conn_->get(), window_), nullptr));
        return attrs != nullptr;
    }

    Grab end(std::string reason) {
        endReason_ = std::move(reason);
        return {Status::ended, {}, true, {}};
    }

    std::unique_ptr<Connection> conn_;
    xcb_window_t window_;
    PointerOverlay pointer_;
    xcb_pixmap_t pixmap_ = XCB_PIXMAP_NONE;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t border_ = 0;
    bool mapped_ = false;
    std::unique_ptr<ShmImage> shm_;
    std::string endReason_;
};

}  // namespace

std::unique_ptr<FrameSource> openWindowSource(const std::string& displayName, xcb_window_t window,
                                              std::string& error) {
    std::unique_ptr<Connection> conn = Connection::open(displayName, error);
    if (!conn) {
        return nullptr;
    }
    auto source = std::make_unique<WindowSource>(std::move(conn), window);
    if (!source->init(error)) {
        return nullptr;
    }
    return source;
}

}  // namespace skylark::x11
