#pragma once

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/frames/picture.hpp"
#include "platform/x11/x11_connection.hpp"

namespace skylark::x11 {

// The mouse pointer, drawn into grabbed pixels: neither MIT-SHM nor Composite grabs contain
// it. The cursor's image is fetched through XFixes only when the server says it changed; its
// position is asked once per frame, sent before the grab so that both round trips overlap.
// Used by the capture thread only.
class PointerOverlay {
  public:
    // Asks for cursor-change events on the connection's root window. Without XFixes the
    // overlay stays off and `problem()` says so.
    explicit PointerOverlay(Connection& conn);
    ~PointerOverlay();
    PointerOverlay(const PointerOverlay&) = delete;
    PointerOverlay& operator=(const PointerOverlay&) = delete;

    const std::string& problem() const { return problem_; }

    // True when `event` was a cursor change (it is then consumed).
    bool handle(const xcb_generic_event_t& event);

    // Sends this frame's requests: the position relative to `window` (and the image if stale).
    void ask(xcb_window_t window);

    // Reads the answers of ask(). True when the pointer now differs from the last time: moved,
    // changed its image, or came or went.
    bool settle();

    // Reads the answers of ask() unless settle() did, and blends the pointer into `pixels` (B, G,
    // R, X rows of `stride` bytes, whose top-left is at `origin` in the window given to ask()).
    // `onlyInside`: draw only when the pointer's hot spot lies within the pixels. Returns the rows
    // it drew on (none: an empty span).
    frames::RowSpan draw(uint8_t* pixels, uint32_t width, uint32_t height, size_t stride,
                         int32_t originX, int32_t originY, bool onlyInside);

  private:
    void discard();  // drops answers that were asked for but not read

    Connection& conn_;
    std::string problem_;
    uint8_t cursorEvent_ = 0;
    bool enabled_ = false;
    bool stale_ = true;
    std::optional<xcb_query_pointer_cookie_t> position_;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> image_;
    // The current cursor: premultiplied A, R, G, B words, `hotX`/`hotY` its hot spot.
    std::vector<uint32_t> argb_;
    uint32_t cursorWidth_ = 0, cursorHeight_ = 0, hotX_ = 0, hotY_ = 0;
    // Where the pointer is, relative to the window given to ask(); `shown` false when unknown
    // or on another screen.
    bool shown_ = false;
    int32_t x_ = 0, y_ = 0;
};

// Blends a premultiplied ARGB image of `w` x `h` with its top-left at (x, y) into B, G, R, X
// pixels, clipped to them. Returns the rows it covers.
frames::RowSpan blendPremultiplied(const uint32_t* argb, uint32_t w, uint32_t h, int32_t x,
                                   int32_t y, uint8_t* pixels, uint32_t width, uint32_t height,
                                   size_t stride);

}  // namespace skylark::x11
