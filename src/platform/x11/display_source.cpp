// One monitor's rectangle of the screen, grabbed through MIT-SHM and followed as the layout
// changes.
#include <xcb/randr.h>

#include <algorithm>

#include "platform/x11/damage_tracker.hpp"
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
        damage_ = DamageTracker::create(*conn_, conn_->root());
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
            // Whole then as well: a drawing path the server does not account for (an overlay,
            // a driver's direct rendering) cannot leave stale rows for more than a second.
            wholeNext_ = true;
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
            wholeNext_ = true;
        }
        pointer_.ask(conn_->root());
        Grab grab{Status::ok, {}, true, {}};
        if (damage_) {
            damage_->ask();
        }
        // The pointer drawn last time stays in the segment while it neither moves nor is
        // drawn over; otherwise its rows are fetched again, which restores them, and it is
        // drawn anew.
        bool redrawPointer = pointer_.settle();
        if (damage_) {
            grab.whole = !damage_->changedRows(r, grab.changed) || wholeNext_ || r != grabbed_;
            redrawPointer |= overlaps(grab.changed, pointerRows_);
        }
        if (!grab.whole && redrawPointer) {
            grab.changed.push_back(pointerRows_);
            mergeRows(grab.changed);
        }
        if (!fetch(grab)) {
            ++failuresInRow_;
            wholeNext_ = true;
            if (conn_->broken()) {
                return end(std::string(kConnectionLostText));
            }
            return {Status::failed, {}, true, {}};
        }
        failuresInRow_ = 0;
        wholeNext_ = false;
        grabbed_ = r;
        if (grab.whole || redrawPointer) {
            // All of the pointer that is on this monitor, even with its hot spot on the next
            // one.
            pointerRows_ = pointer_.draw(shm_->data(), grab.pixels.width, grab.pixels.height,
                                         grab.pixels.stride, r.x, r.y, false);
            if (!grab.whole) {
                grab.changed.push_back(pointerRows_);
                mergeRows(grab.changed);
            }
        }
        return grab;
    }

    const std::string& endReason() const override { return endReason_; }
    const std::string& pointerProblem() const override { return pointer_.problem(); }

  private:
    static bool overlaps(const std::vector<frames::RowSpan>& rows, frames::RowSpan span) {
        return std::any_of(rows.begin(), rows.end(), [&](const frames::RowSpan& r) {
            return r.top < span.bottom && span.top < r.bottom;
        });
    }

    // Fills the segment from the monitor's area: all of it, or the changed rows.
    bool fetch(Grab& grab) {
        const Rect& r = monitor_.rect;
        const auto x = static_cast<int16_t>(r.x), y = static_cast<int16_t>(r.y);
        const auto width = static_cast<uint16_t>(r.width);
        if (grab.whole) {
            grab.changed.clear();
            grab.pixels = shm_->grab(conn_->root(), x, y, width, static_cast<uint16_t>(r.height));
            return grab.pixels.data != nullptr;
        }
        for (const frames::RowSpan& rows : grab.changed) {
            if (!shm_->grabRows(conn_->root(), x, y, width, static_cast<uint16_t>(rows.top),
                                static_cast<uint16_t>(rows.bottom))) {
                return false;
            }
        }
        grab.pixels = {shm_->data(), r.width, r.height, size_t{r.width} * 4};
        return true;
    }

    Grab end(std::string reason) {
        endReason_ = std::move(reason);
        return {Status::ended, {}, true, {}};
    }

    std::unique_ptr<Connection> conn_;
    Monitor monitor_;
    PointerOverlay pointer_;
    std::unique_ptr<ShmImage> shm_;
    std::unique_ptr<DamageTracker> damage_;
    Rect grabbed_;                 // the area of the last grab, as the segment holds it
    frames::RowSpan pointerRows_;  // where the pointer was drawn into the segment
    bool wholeNext_ = true;
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
