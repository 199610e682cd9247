// A real X client for the capture tests: one top-level window of one colour, classed
// "SkylarkTest" like an application, until it is killed.
//   skylark_test_window RRGGBB WxH+X+Y [override-redirect: 0 or 1]
// It prints "ready <window id>" once the window is painted; its background colour repaints it
// when another client resizes it.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    uint32_t values[] = {0, argc > 3 && argv[3][0] == '1', XCB_EVENT_MASK_EXPOSURE};
    unsigned width = 0, height = 0;
    int x = 0, y = 0;
    if (argc < 3 || std::sscanf(argv[1], "%x", &values[0]) != 1 ||
        std::sscanf(argv[2], "%ux%u+%d+%d", &width, &height, &x, &y) != 4) {
        return 2;
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
