#pragma once

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <optional>
#include <vector>

#include "platform/frames/picture.hpp"
#include "platform/frames/yuv_convert.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_desktop.hpp"

namespace skylark::x11 {

// Which parts of a window the X server has drawn on since the previous frame (the Damage
// extension), so that a grab fetches and converts only those rows. Drawing is collected in the
// server; each frame takes it over in one round trip, sent before the grab like the pointer's.
// Used by the capture thread only.
class DamageTracker {
  public:
    // Starts collecting drawing on `window` and what lies in it. Null when the server lacks
    // Damage or XFixes regions; frames are then grabbed whole.
    static std::unique_ptr<DamageTracker> create(Connection& conn, xcb_window_t window);
    ~DamageTracker();
    DamageTracker(const DamageTracker&) = delete;
    DamageTracker& operator=(const DamageTracker&) = delete;

    // Sends this frame's request: takes everything drawn so far off the server's tally.
    void ask();

    // Reads the answer of ask(): the rows of `area` (window coordinates) drawn on, in order and
    // merged, appended to `rows`. False when no answer came (take every row as changed).
    bool changedRows(const Rect& area, std::vector<frames::RowSpan>& rows);

  private:
    DamageTracker(Connection& conn, xcb_damage_damage_t damage, xcb_xfixes_region_t region)
        : conn_(conn), damage_(damage), region_(region) {}

    Connection& conn_;
    xcb_damage_damage_t damage_;
    xcb_xfixes_region_t region_;
    std::optional<xcb_xfixes_fetch_region_cookie_t> answer_;
};

using frames::mergeRows;

}  // namespace skylark::x11
