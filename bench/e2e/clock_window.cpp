// A small X11 window in the top-left corner of the screen that shows the monotonic clock, redrawn
// every 1/60 s: a white start block, then 24 blocks of 16x16 px holding the clock in ms (mod
// 2^24, least significant first, white = 1), and the same time as text for a person. The latency
// harness reads the blocks back from the playing video on the TV page.
//
// Usage: skylark_e2e_clock  (DISPLAY names the X server; runs until killed)
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int kBits = 24;
constexpr int kBlock = 16;
constexpr int kTop = 8;
constexpr int kWidth = (kBits + 1) * kBlock;
constexpr int kHeight = kTop + kBlock + 32;

std::int64_t monotonicMs(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

int main() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "skylark_e2e_clock: cannot open the display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    // Override-redirect: stays where it is put, above everything, with no window manager.
    const std::uint32_t values[] = {screen->black_pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, kWidth, kHeight, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);

    const xcb_font_t font = xcb_generate_id(c);
    xcb_open_font(c, font, 5, "fixed");
    const xcb_gcontext_t white = xcb_generate_id(c);
    const xcb_gcontext_t black = xcb_generate_id(c);
    const std::uint32_t whiteValues[] = {screen->white_pixel, screen->black_pixel, font};
    xcb_create_gc(c, white, window, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT,
                  whiteValues);
    const std::uint32_t blackValues[] = {screen->black_pixel};
    xcb_create_gc(c, black, window, XCB_GC_FOREGROUND, blackValues);
    xcb_flush(c);

    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (unsigned frame = 0;; ++frame) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t ms = monotonicMs(now);
        const std::uint32_t value = static_cast<std::uint32_t>(ms) & ((1u << kBits) - 1);
        xcb_rectangle_t ones[kBits + 1];
        xcb_rectangle_t zeros[kBits];
        int nOnes = 0;
        int nZeros = 0;
        ones[nOnes++] = {0, kTop, kBlock, kBlock};
        for (int bit = 0; bit < kBits; ++bit) {
            const xcb_rectangle_t r{static_cast<std::int16_t>((bit + 1) * kBlock), kTop, kBlock,
                                    kBlock};
            ((value >> bit) & 1u ? ones[nOnes++] : zeros[nZeros++]) = r;
        }
        xcb_poly_fill_rectangle(c, window, white, nOnes, ones);
        xcb_poly_fill_rectangle(c, window, black, nZeros, zeros);
        char text[64];
        const int n = std::snprintf(text, sizeof text, "monotonic %lld.%03lld s   ",
                                    static_cast<long long>(ms / 1000),
                                    static_cast<long long>(ms % 1000));
        xcb_image_text_8(c, static_cast<std::uint8_t>(n), window, white, 4, kTop + kBlock + 20,
                         text);
        if (frame % 30 == 0) {
            // Another program's window (the sender's browser) must not cover the clock.
            const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
            xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
        }
        // A round trip, so the stamp is on the screen when this frame's time is over.
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (xcb_connection_has_error(c)) {
            return 0;
        }
        next.tv_nsec += 1000000000L / 60;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}
