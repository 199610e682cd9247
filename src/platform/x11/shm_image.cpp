#include "platform/x11/shm_image.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

namespace skylark::x11 {

bool ShmImage::available(Connection& conn, std::string& error) {
    if (conn.hasExtension(xcb_shm_id)) {
        Reply<xcb_shm_query_version_reply_t> version(
            xcb_shm_query_version_reply(conn.get(), xcb_shm_query_version(conn.get()), nullptr));
        if (version) {
            return true;
        }
    }
    error =
        "The X server does not offer shared-memory images (MIT-SHM), which screen capture "
        "needs; a remote or nested X display may not have it.";
    return false;
}

std::unique_ptr<ShmImage> ShmImage::create(Connection& conn, size_t bytes, std::string& error) {
    std::unique_ptr<ShmImage> image(new ShmImage(conn, bytes));
    image->shmId_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (image->shmId_ < 0) {
        error = std::string("Cannot allocate shared memory for screen capture: ") +
                std::strerror(errno) + ".";
        return nullptr;
    }
    void* address = shmat(image->shmId_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        error = std::string("Cannot map shared memory for screen capture: ") +
                std::strerror(errno) + ".";
        return nullptr;
    }
    image->data_ = static_cast<uint8_t*>(address);
    image->segment_ = xcb_generate_id(conn.get());
    Reply<xcb_generic_error_t> failure(xcb_request_check(
        conn.get(), xcb_shm_attach_checked(conn.get(), image->segment_,
                                           static_cast<uint32_t>(image->shmId_), 0)));
    if (failure || conn.broken()) {
        error =
            "The X server could not attach the shared-memory image (MIT-SHM); it may be "
            "running on another machine.";
        return nullptr;
    }
    image->attached_ = true;
    // Marked for removal now, so the segment goes away with the last user even after a crash.
    shmctl(image->shmId_, IPC_RMID, nullptr);
    return image;
}

ShmImage::~ShmImage() {
    if (attached_ && !conn_.broken()) {
        xcb_shm_detach(conn_.get(), segment_);
        xcb_flush(conn_.get());
    }
    if (data_ != nullptr) {
        shmdt(data_);
    }
    if (shmId_ >= 0 && !attached_) {
        shmctl(shmId_, IPC_RMID, nullptr);
    }
}

PixelView ShmImage::grab(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width,
                         uint16_t height) {
    if (!fetch(drawable, x, y, width, height, 0)) {
        return {};
    }
    return {data_, width, height, size_t{width} * 4};
}

bool ShmImage::grabRows(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t top,
                        uint16_t bottom) {
    return top < bottom && fetch(drawable, x, static_cast<int16_t>(y + top), width,
                                 static_cast<uint16_t>(bottom - top), size_t{width} * 4 * top);
}

bool ShmImage::fetch(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height,
                     size_t offset) {
    if (offset + size_t{width} * 4 * height > size_ || width == 0 || height == 0) {
        return false;
    }
    xcb_generic_error_t* rawError = nullptr;
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        conn_.get(),
        xcb_shm_get_image(conn_.get(), drawable, x, y, width, height, ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, static_cast<uint32_t>(offset)),
        &rawError));
    Reply<xcb_generic_error_t> error(rawError);
    return reply && !error;
}

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

}  // namespace skylark::x11
