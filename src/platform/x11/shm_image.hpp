#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/frames/picture.hpp"
#include "platform/x11/x11_connection.hpp"

namespace skylark::x11 {

using frames::PixelView;

// A System V shared-memory segment attached to the X server, into which xcb_shm_get_image
// copies pixels without going through the socket. Detached and removed on destruction.
class ShmImage {
  public:
    // Checks that the server offers MIT-SHM; on failure says so in `error`.
    static bool available(Connection& conn, std::string& error);

    // A segment of at least `bytes`; null with a reason in `error` when it cannot be made.
    static std::unique_ptr<ShmImage> create(Connection& conn, size_t bytes, std::string& error);

    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;
    ~ShmImage();

    size_t capacity() const { return size_; }
    // The segment's bytes, which a grab's view shows: its owner may draw on them until the
    // next grab (the pointer, for one).
    uint8_t* data() { return data_; }

    // Copies `width` x `height` pixels at (x, y) of a 32-bit-per-pixel drawable into the
    // segment. Returns the pixels, or an empty view when the server refused (the area left the
    // drawable, the window went away) or the connection broke.
    PixelView grab(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height);

    // Copies only rows [top, bottom) of that area into their place in the segment, leaving
    // the other rows as an earlier grab of the same area left them. False when refused.
    bool grabRows(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t top,
                  uint16_t bottom);

  private:
    bool fetch(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height,
               size_t offset);

    ShmImage(Connection& conn, size_t size) : conn_(conn), size_(size) {}

    Connection& conn_;
    size_t size_;
    int shmId_ = -1;
    uint8_t* data_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
    bool attached_ = false;
};

// Whether pixels of `depth` and `visual` grabbed from this server read as B, G, R, X bytes:
// 24- and 32-bit depths stored in 32 bits with red in the high byte, as every TrueColor X
// server on a little-endian machine uses. When not, `error` says so for the user.
bool pixelLayoutUsable(Connection& conn, uint8_t depth, xcb_visualid_t visual, std::string& error);

}  // namespace skylark::x11
