#include "platform/x11/damage_tracker.hpp"

#include <algorithm>

namespace skylark::x11 {

std::unique_ptr<DamageTracker> DamageTracker::create(Connection& conn, xcb_window_t window) {
    xcb_connection_t* c = conn.get();
    if (!conn.hasExtension(xcb_damage_id) || !conn.hasExtension(xcb_xfixes_id)) {
        return nullptr;
    }
    // Both extensions refuse requests until a version has been agreed; regions need XFixes 2.
    Reply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!fixes || fixes->major_version < 2 || !damage) {
        return nullptr;
    }
    const xcb_damage_damage_t id = xcb_generate_id(c);
    const xcb_xfixes_region_t region = xcb_generate_id(c);
    // Non-empty: one event when drawing starts, not one per drawing request; the tally is
    // taken each frame anyway.
    xcb_damage_create(c, id, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_xfixes_create_region(c, region, 0, nullptr);
    return std::unique_ptr<DamageTracker>(new DamageTracker(conn, id, region));
}

DamageTracker::~DamageTracker() {
    if (answer_) {
        xcb_discard_reply(conn_.get(), answer_->sequence);
    }
    if (!conn_.broken()) {
        xcb_damage_destroy(conn_.get(), damage_);
        xcb_xfixes_destroy_region(conn_.get(), region_);
        xcb_flush(conn_.get());
    }
}

void DamageTracker::ask() {
    if (answer_) {
        xcb_discard_reply(conn_.get(), answer_->sequence);
    }
    xcb_damage_subtract(conn_.get(), damage_, XCB_NONE, region_);
    answer_ = xcb_xfixes_fetch_region(conn_.get(), region_);
}

bool DamageTracker::changedRows(const Rect& area, std::vector<frames::RowSpan>& rows) {
    if (!answer_) {
        return false;
    }
    Reply<xcb_xfixes_fetch_region_reply_t> reply(
        xcb_xfixes_fetch_region_reply(conn_.get(), *answer_, nullptr));
    answer_.reset();
    if (!reply) {
        return false;
    }
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(reply.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
    const int64_t areaTop = area.y, areaBottom = area.y + int64_t{area.height};
    const int64_t areaLeft = area.x, areaRight = area.x + int64_t{area.width};
    for (int i = 0; i < count; ++i) {
        const xcb_rectangle_t& r = rects[i];
        const int64_t top = std::max<int64_t>(r.y, areaTop);
        const int64_t bottom = std::min<int64_t>(r.y + int64_t{r.height}, areaBottom);
        const bool across = r.x < areaRight && r.x + int64_t{r.width} > areaLeft;
        if (across && top < bottom) {
            rows.push_back({uint32_t(top - areaTop), uint32_t(bottom - areaTop)});
        }
    }
    mergeRows(rows);
    return true;
}

}  // namespace skylark::x11
