#include "platform/x11/frame_source.hpp"

#include <xcb/composite.h>
#include <xcb/randr.h>

namespace skylark::x11 {
namespace {

// Grabbed pixels are read as B, G, R, X bytes: only 24- and 32-bit depths stored in 32 bits
// with red in the high byte, as every TrueColor X server on a little-endian machine uses.
bool pixelLayoutUsable(Connection& conn, uint8_t depth, xcb_visualid_t visual, std::string& error) {
    const xcb_setup_t* setup = xcb_get_setup(conn.get());
    bool masksOk = false;
    for (auto d = xcb_screen_allowed_depths_iterator(&conn.screen()); d.rem > 0;
         xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == visual) {
                masksOk = v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 &&
                          v.data->blue_mask == 0xff;
            }
        }
    }
    if ((depth == 24 || depth == 32) && conn.bitsPerPixel(depth) == 32 && masksOk &&
        setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) {
        return true;
    }
    error = "The X display uses a pixel format that screen capture does not support (depth " +
            std::to_string(depth) + "); a 24-bit colour display is needed.";
    return false;
}

class DisplaySource final : public FrameSource {
  public:
    DisplaySource(std::unique_ptr<Connection> conn, Monitor monitor)
        : conn_(std::move(conn)), monitor_(std::move(monitor)) {}

    bool init(std::string& error) {
        const xcb_screen_t& screen = conn_->screen();
        if (!ShmImage::available(*conn_, error) ||
            !pixelLayoutUsable(*conn_, screen.root_depth, screen.root_visual, error)) {
            return false;
        }
        // Room for the whole screen, so a monitor that moves or grows needs no new segment.
        shm_ = ShmImage::create(
            *conn_, size_t{screen.width_in_pixels} * screen.height_in_pixels * 4, error);
        if (!shm_) {
            return false;
        }
        if (conn_->hasExtension(xcb_randr_id)) {
            randrEvent_ = xcb_get_extension_data(conn_->get(), &xcb_randr_id)->first_event;
            xcb_randr_select_input(conn_->get(), conn_->root(),
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
        // Layout tools such as xrandr reconfigure the root window, which this reports too.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(conn_->get(), conn_->root(), XCB_CW_EVENT_MASK, &mask);
        xcb_flush(conn_->get());
        return true;
    }

    Grab grab() override {
        bool layoutChanged = false;
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(conn_->get())}) {
            const uint8_t type = event->response_type & 0x7f;
            layoutChanged |=
                type == XCB_CONFIGURE_NOTIFY ||
                (randrEvent_ != 0 && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                      type == randrEvent_ + XCB_RANDR_NOTIFY));
        }
        if (conn_->broken()) {
            return end(std::string(kConnectionLostText));
        }
        // Monitors defined with `xrandr --setmonitor` come and go without any event, so the
        // list is also read again about once a second and after failing grabs.
        if (layoutChanged || failuresInRow_ >= 15 || ++grabsSinceCheck_ >= 30) {
            failuresInRow_ = 0;
            grabsSinceCheck_ = 0;
            std::optional<Monitor> now = findMonitor(*conn_, monitor_.name);
            if (conn_->broken()) {
                return end(std::string(kConnectionLostText));
            }
            if (!now) {
                return end("The shared display \"" + monitor_.name + "\" is no longer connected.");
            }
            monitor_ = *now;
        }
        const Rect& r = monitor_.rect;
        if (shm_->capacity() < size_t{r.width} * r.height * 4) {
            std::string error;
            shm_.reset();
            shm_ = ShmImage::create(*conn_, size_t{r.width} * r.height * 4, error);
            if (!shm_) {
                return end(error);
            }
        }
        PixelView pixels =
            shm_->grab(conn_->root(), static_cast<int16_t>(r.x), static_cast<int16_t>(r.y),
                       static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
        if (pixels.data == nullptr) {
            ++failuresInRow_;
            if (conn_->broken()) {
                return end(std::string(kConnectionLostText));
            }
            return {Status::failed, {}};
        }
        failuresInRow_ = 0;
        return {Status::ok, pixels};
    }

    const std::string& endReason() const override { return endReason_; }

  private:
    Grab end(std::string reason) {
        endReason_ = std::move(reason);
        return {Status::ended, {}};
    }

    std::unique_ptr<Connection> conn_;
    Monitor monitor_;
    std::unique_ptr<ShmImage> shm_;
    uint8_t randrEvent_ = 0;
    int failuresInRow_ = 0;
    int grabsSinceCheck_ = 0;
    std::string endReason_;
};

class WindowSource final : public FrameSource {
  public:
    WindowSource(std::unique_ptr<Connection> conn, xcb_window_t window)
        : conn_(std::move(conn)), window_(window) {}

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
            return {Status::failed, {}};
        }
        std::string error;
        if (!growShm(error)) {
            return end(error);
        }
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
            return {Status::failed, {}};
        }
        return {Status::ok, pixels};
    }

    const std::string& endReason() const override { return endReason_; }

  private:
    // Returns false when the window is gone.
    bool handle(const xcb_generic_event_t& event) {
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
        return {Status::ended, {}};
    }

    std::unique_ptr<Connection> conn_;
    xcb_window_t window_;
    xcb_pixmap_t pixmap_ = XCB_PIXMAP_NONE;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t border_ = 0;
    bool mapped_ = false;
    std::unique_ptr<ShmImage> shm_;
    std::string endReason_;
};

}  // namespace

std::unique_ptr<FrameSource> openDisplaySource(const std::string& displayName,
                                               const std::string& monitorName, std::string& error) {
    std::unique_ptr<Connection> conn = Connection::open(displayName, error);
    if (!conn) {
        return nullptr;
    }
    std::optional<Monitor> monitor = findMonitor(*conn, monitorName);
    if (!monitor) {
        error = "The display \"" + monitorName + "\" is no longer connected.";
        return nullptr;
    }
    auto source = std::make_unique<DisplaySource>(std::move(conn), std::move(*monitor));
    if (!source->init(error)) {
        return nullptr;
    }
    return source;
}

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
