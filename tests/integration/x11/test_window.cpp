// A minimal X client for the capture tests: one top-level window of a solid colour, named and
// classed like an application. It prints "ready <window id>" once the window is mapped and
// painted, then follows commands on standard input, one per line:
//   color RRGGBB      repaint in another colour
//   resize W H        change the window's size
//   raise             put it above its siblings
// It exits when its input closes or it is killed.
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    std::string title = "Test Window";
    std::string wmClass = "skylark-test\0SkylarkTest";
    wmClass.assign("skylark-test\0SkylarkTest", 24);
    uint32_t color = 0x3366cc;
    int x = 0, y = 0;
    unsigned width = 320, height = 240;
    bool overrideRedirect = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--title") {
            title = value;
        } else if (key == "--color") {
            color = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        } else if (key == "--geometry") {
            std::sscanf(value.c_str(), "%ux%u+%d+%d", &width, &height, &x, &y);
        } else if (key == "--override-redirect") {
            overrideRedirect = value == "1";
        }
    }

    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        return 2;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {color, overrideRedirect ? 1u : 0u,
                               XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        title.size(), title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom(c, "_NET_WM_NAME"),
                        atom(c, "UTF8_STRING"), 8, title.size(), title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        wmClass.size(), wmClass.data());
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &color);
    xcb_map_window(c, window);
    xcb_flush(c);

    auto paint = [&] {
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &color);
        const xcb_rectangle_t all = {0, 0, static_cast<uint16_t>(width),
                                     static_cast<uint16_t>(height)};
        xcb_poly_fill_rectangle(c, window, gc, 1, &all);
        xcb_flush(c);
    };

    bool announced = false;
    std::string input;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {0, POLLIN, 0}};
    while (true) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            const uint8_t type = e->response_type & 0x7f;
            if (type == XCB_EXPOSE) {
                paint();
                if (!announced) {
                    // A round trip makes sure the paint has reached the server.
                    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
                    std::printf("ready %u\n", window);
                    std::fflush(stdout);
                    announced = true;
                }
            } else if (type == XCB_CONFIGURE_NOTIFY) {
                auto* ce = reinterpret_cast<xcb_configure_notify_event_t*>(e);
                width = ce->width;
                height = ce->height;
                paint();
            }
            std::free(e);
        }
        if (xcb_connection_has_error(c)) {
            return 3;
        }
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            const ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            input.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = input.find('\n')) != std::string::npos) {
                std::istringstream line(input.substr(0, nl));
                input.erase(0, nl + 1);
                std::string cmd;
                line >> cmd;
                if (cmd == "color") {
                    std::string hex;
                    line >> hex;
                    color = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
                    paint();
                } else if (cmd == "resize") {
                    uint32_t size[2];
                    line >> size[0] >> size[1];
                    xcb_configure_window(c, window,
                                         XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
                } else if (cmd == "raise") {
                    const uint32_t mode = XCB_STACK_MODE_ABOVE;
                    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &mode);
                }
                xcb_flush(c);
                // Acknowledge once the server has seen the command.
                std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
                std::printf("done %s\n", cmd.c_str());
                std::fflush(stdout);
            }
        }
    }
    xcb_disconnect(c);
    return 0;
}
