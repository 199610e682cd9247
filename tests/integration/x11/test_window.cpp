// A real X client for the capture tests: one top-level window of one colour, classed
// "SkylarkTest" like an application, until it is killed.
//   skylark_test_window [--color RRGGBB] [--geometry WxH+X+Y] [--override-redirect 1]
// It prints "ready <window id>" once the window is painted; its background colour repaints it
// when another client resizes it.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    uint32_t values[] = {0x3366cc, 0, XCB_EVENT_MASK_EXPOSURE};
    int x = 0, y = 0;
    unsigned width = 320, height = 240;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--color") {
            values[0] = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        } else if (key == "--geometry") {
            std::sscanf(value.c_str(), "%ux%u+%d+%d", &width, &height, &x, &y);
        } else if (key == "--override-redirect") {
            values[1] = value == "1";
        }
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, int16_t(x), int16_t(y),
                      uint16_t(width), uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, 24,
                        "skylark-test\0SkylarkTest");
    xcb_map_window(c, window);
    xcb_flush(c);
    for (bool announced = false; xcb_generic_event_t* e = xcb_wait_for_event(c); std::free(e)) {
        if ((e->response_type & 0x7f) == XCB_EXPOSE && !announced) {
            std::printf("ready %u\n", window);
            std::fflush(stdout);
            announced = true;
        }
    }
    return 1;
}
