#include "platform/x11/pointer_overlay.hpp"

#include <algorithm>

namespace skylark::x11 {

PointerOverlay::PointerOverlay(Connection& conn) : conn_(conn) {
    xcb_connection_t* c = conn_.get();
    if (!conn_.hasExtension(xcb_xfixes_id)) {
        problem_ = "the X server lacks XFixes; casting without the mouse pointer";
        return;
    }
    // The extension's requests are refused until a version has been agreed.
    Reply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    if (!version || version->major_version < 2) {
        problem_ = "the X server's XFixes is too old; casting without the mouse pointer";
        return;
    }
    cursorEvent_ = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
    xcb_xfixes_select_cursor_input(c, conn_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    enabled_ = true;
}

PointerOverlay::~PointerOverlay() {
    discard();
}

void PointerOverlay::discard() {
    if (position_) {
        xcb_discard_reply(conn_.get(), position_->sequence);
        position_.reset();
    }
    if (image_) {
        xcb_discard_reply(conn_.get(), image_->sequence);
        image_.reset();
        stale_ = true;
    }
}

bool PointerOverlay::handle(const xcb_generic_event_t& event) {
    if (!enabled_ || (event.response_type & 0x7f) != cursorEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
        return false;
    }
    stale_ = true;
    return true;
}

void PointerOverlay::ask(xcb_window_t window) {
    if (!enabled_) {
        return;
    }
    discard();
    position_ = xcb_query_pointer(conn_.get(), window);
    if (stale_) {
        image_ = xcb_xfixes_get_cursor_image(conn_.get());
        stale_ = false;
    }
}

bool PointerOverlay::settle() {
    bool changed = false;
    if (image_) {
        Reply<xcb_xfixes_get_cursor_image_reply_t> image(
            xcb_xfixes_get_cursor_image_reply(conn_.get(), *image_, nullptr));
        image_.reset();
        if (image) {
            const uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(image.get());
            argb_.assign(argb, argb + size_t{image->width} * image->height);
            cursorWidth_ = image->width;
            cursorHeight_ = image->height;
            hotX_ = image->xhot;
            hotY_ = image->yhot;
            changed = true;
        } else {
            stale_ = true;  // asked again with the next frame
        }
    }
    if (!position_) {
        return changed;
    }
    Reply<xcb_query_pointer_reply_t> where(
        xcb_query_pointer_reply(conn_.get(), *position_, nullptr));
    position_.reset();
    const bool shown = where && where->same_screen && !argb_.empty();
    const int32_t x = shown ? where->win_x : 0, y = shown ? where->win_y : 0;
    changed |= shown != shown_ || x != x_ || y != y_;
    shown_ = shown;
    x_ = x;
    y_ = y;
    return changed;
}

frames::RowSpan PointerOverlay::draw(uint8_t* pixels, uint32_t width, uint32_t height,
                                     size_t stride, int32_t originX, int32_t originY,
                                     bool onlyInside) {
    settle();
    if (!shown_) {
        return {};
    }
    const int32_t x = x_ - originX, y = y_ - originY;
    if (onlyInside && (x < 0 || y < 0 || x >= int32_t(width) || y >= int32_t(height))) {
        return {};
    }
    return blendPremultiplied(argb_.data(), cursorWidth_, cursorHeight_, x - int32_t(hotX_),
                              y - int32_t(hotY_), pixels, width, height, stride);
}

frames::RowSpan blendPremultiplied(const uint32_t* argb, uint32_t w, uint32_t h, int32_t x,
                                   int32_t y, uint8_t* pixels, uint32_t width, uint32_t height,
                                   size_t stride) {
    const int32_t left = std::max(x, 0), right = std::min<int32_t>(x + int32_t(w), width);
    const int32_t top = std::max(y, 0), bottom = std::min<int32_t>(y + int32_t(h), height);
    for (int32_t row = top; row < bottom; ++row) {
        const uint32_t* src = argb + size_t(row - y) * w;
        uint8_t* dst = pixels + size_t(row) * stride;
        for (int32_t col = left; col < right; ++col) {
            const uint32_t s = src[col - x];
            const uint32_t a = s >> 24;
            if (a == 0) {
                continue;
            }
            uint8_t* d = dst + size_t(col) * 4;
            // Bytes B, G, R match the word's low three bytes on this little-endian layout.
            for (int i = 0; i < 3; ++i) {
                const uint32_t sc = (s >> (8 * i)) & 0xff;
                d[i] = uint8_t(std::min<uint32_t>(255, sc + (d[i] * (255 - a) + 127) / 255));
            }
        }
    }
    if (top >= bottom || left >= right) {
        return {};
    }
    return {uint32_t(top), uint32_t(bottom)};
}

}  // namespace skylark::x11
