// A real X client for the capture tests: one top-level window of one colour, classed
// "SkylarkTest" like an application.
//   skylark_test_window [--title T] [--color RRGGBB] [--geometry WxH+X+Y] [--override-redirect 1]
// It prints "ready <window id>" once the window is painted, then follows commands on standard
// input ("color RRGGBB", "resize W H"), answering "done" when the server has them. It exits
// when its input closes or it is killed.
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    std::string title = "Test Window";
    uint32_t values[] = {0x3366cc, 0, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    int x = 0, y = 0;
    unsigned width = 320, height = 240;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--title") {
            title = value;
        } else if (key == "--color") {
            values[0] = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        } else if (key == "--geometry") {
            std::sscanf(value.c_str(), "%ux%u+%d+%d", &width, &height, &x, &y);
        } else if (key == "--override-redirect") {
            values[1] = value == "1";
        }
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        return 2;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, int16_t(x), int16_t(y),
                      uint16_t(width), uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        title.size(), title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, 24,
                        "skylark-test\0SkylarkTest");
    xcb_map_window(c, window);
    xcb_flush(c);
    auto sync = [c] { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); };
    auto paint = [&] {
        xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXEL, values);
        xcb_clear_area(c, 0, window, 0, 0, 0, 0);
        sync();
    };
    bool announced = false;
    std::string input;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {0, POLLIN, 0}};
    while (!xcb_connection_has_error(c)) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7f) == XCB_EXPOSE && !announced) {
                paint();
                std::printf("ready %u\n", window);
                std::fflush(stdout);
                announced = true;
            }
            std::free(e);
        }
        if (poll(fds, 2, -1) <= 0 || !(fds[1].revents & (POLLIN | POLLHUP))) {
            continue;
        }
        char buf[256];
        const ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        input.append(buf, size_t(n));
        for (size_t nl; (nl = input.find('\n')) != std::string::npos; input.erase(0, nl + 1)) {
            std::istringstream line(input.substr(0, nl));
            std::string command, a, b;
            line >> command >> a >> b;
            if (command == "color") {
                values[0] = static_cast<uint32_t>(std::stoul(a, nullptr, 16));
            } else if (command == "resize") {
                const uint32_t size[] = {uint32_t(std::stoul(a)), uint32_t(std::stoul(b))};
                xcb_configure_window(c, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                                     size);
            }
            paint();
            std::printf("done\n");
            std::fflush(stdout);
        }
    }
    xcb_disconnect(c);
    return 0;
}
