#include "platform/x11/x11_connection.hpp"

#include <cstring>

namespace skylark::x11 {

std::unique_ptr<Connection> Connection::open(const std::string& displayName, std::string& error) {
    std::string name = displayName;
    if (name.empty()) {
        const char* env = std::getenv("DISPLAY");
        if (env == nullptr || *env == '\0') {
            error =
                "No X display is set (the DISPLAY variable is empty); screen sharing needs an "
                "X11 session.";
            return nullptr;
        }
        name = env;
    }
    int screenNumber = 0;
    xcb_connection_t* raw = xcb_connect(name.c_str(), &screenNumber);
    std::unique_ptr<xcb_connection_t, Disconnect> conn(raw);
    if (xcb_connection_has_error(raw) != 0) {
        error = "Cannot connect to the X display \"" + name +
                "\". Is the X server running, and may this user open it?";
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(raw));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        error =
            "The X display \"" + name + "\" has no screen " + std::to_string(screenNumber) + ".";
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(conn.release(), it.data, name));
}

xcb_atom_t Connection::atom(std::string_view name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        get(), xcb_intern_atom(get(), 0, static_cast<uint16_t>(name.size()), name.data()),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::string Connection::atomName(xcb_atom_t atom) {
    Reply<xcb_get_atom_name_reply_t> reply(
        xcb_get_atom_name_reply(get(), xcb_get_atom_name(get(), atom), nullptr));
    if (!reply) {
        return {};
    }
    return {xcb_get_atom_name_name(reply.get()),
            static_cast<size_t>(xcb_get_atom_name_name_length(reply.get()))};
}

bool Connection::hasExtension(xcb_extension_t& extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(get(), &extension);
    return data != nullptr && data->present != 0;
}

unsigned Connection::bitsPerPixel(unsigned depth) const {
    const xcb_setup_t* setup = xcb_get_setup(conn_.get());
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            return it.data->bits_per_pixel;
        }
    }
    return 0;
}

}  // namespace skylark::x11
