// One monitor's rectangle of the screen, grabbed through MIT-SHM and followed as the layout
// changes.
#include <xcb/randr.h>

#include "platform/x11/frame_source.hpp"
#include "platform/x11/pointer_overlay.hpp"

namespace skylark::x11 {
namespace {

class DisplaySource final : public FrameSource {
  public:
    DisplaySource(std::unique_ptr<Connection> conn, Monitor monitor)
        : conn_(std::move(conn)), monitor_(std::move(monitor)), pointer_(*conn_) {}

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
            if (pointer_.handle(*event)) {
                continue;
            }
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
        pointer_.ask(conn_->root());
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
        // All of the pointer that is on this monitor, even with its hot spot on the next one.
        pointer_.draw(shm_->data(), pixels.width, pixels.height, pixels.stride, r.x, r.y, false);
        return {Status::ok, pixels};
    }

    const std::string& endReason() const override { return endReason_; }
    const std::string& pointerProblem() const override { return pointer_.problem(); }

  private:
    Grab end(std::string reason) {
        endReason_ = std::move(reason);
        return {Status::ended, {}};
    }

    std::unique_ptr<Connection> conn_;
    Monitor monitor_;
    PointerOverlay pointer_;
    std::unique_ptr<ShmImage> shm_;
    uint8_t randrEvent_ = 0;
    int failuresInRow_ = 0;
    int grabsSinceCheck_ = 0;
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

}  // namespace skylark::x11
