#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace skylark::x11 {

// Frees what xcb hands out with malloc (replies, events, errors).
struct FreeWithFree {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeWithFree>;

// One connection to an X server and the screen it names. Each capture and each picker opens
// its own, so a broken connection ends only what used it. Not thread-safe: one user thread.
class Connection {
  public:
    // Connects to `displayName` (empty: the DISPLAY variable). On failure returns null and puts
    // a sentence a person can act on in `error`.
    static std::unique_ptr<Connection> open(const std::string& displayName, std::string& error);

    xcb_connection_t* get() const { return conn_.get(); }
    const xcb_screen_t& screen() const { return *screen_; }
    xcb_window_t root() const { return screen_->root; }
    const std::string& displayName() const { return displayName_; }

    // True once the server has gone away or the stream broke; nothing can be done with it then.
    bool broken() const { return xcb_connection_has_error(conn_.get()) != 0; }

    // The atom for `name`, interned if needed (XCB_ATOM_NONE when the request fails).
    xcb_atom_t atom(std::string_view name);
    std::string atomName(xcb_atom_t atom);

    // Whether the server offers an extension; the caller still negotiates its version.
    bool hasExtension(xcb_extension_t& extension);

    // Bits per pixel the server uses in Z-pixmap images of `depth` (0 if it has no such depth).
    unsigned bitsPerPixel(unsigned depth) const;

  private:
    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    Connection(xcb_connection_t* conn, xcb_screen_t* screen, std::string displayName)
        : conn_(conn), screen_(screen), displayName_(std::move(displayName)) {}

    std::unique_ptr<xcb_connection_t, Disconnect> conn_;
    xcb_screen_t* screen_;
    std::string displayName_;
};

// The text used whenever a live connection to the X server breaks.
inline constexpr std::string_view kConnectionLostText = "The connection to the X server was lost.";

}  // namespace skylark::x11
