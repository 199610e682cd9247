// A full-screen window under the clock window, for the harness's other sources:
//
//   skylark_e2e_scene motion   a textured test pattern that slides across the whole screen, 30
//                              frames a second: every pixel changes every frame, as in a film
//   skylark_e2e_scene flash    black, and every 1.01 s of the monotonic clock white for 100 ms
//                              while a 1 kHz beep of the same length plays to PulseAudio's
//                              default sink, its first sample timed to reach the sink at the
//                              instant the screen turns; the period is not a multiple of a
//                              30 Hz frame, so flashes fall at every phase of the capture's
//                              frame interval
//
// DISPLAY names the X server, PULSE_SERVER or XDG_RUNTIME_DIR the sound server. Runs until
// killed. The window stays at the bottom of the stack, so the clock window remains readable.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <xcb/xcb.h>

#include "common/monotonic.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using skylark::bench::kSecondNs;
constexpr std::int64_t kFlashPeriodNs = 1'010'000'000;
constexpr std::int64_t kFlashNs = 100'000'000;
constexpr int kRate = 48000;

using skylark::bench::nowNs, skylark::bench::sleepUntil;

// Time since the last flash onset.
std::int64_t sinceFlash(std::int64_t ns) {
    return ns % kFlashPeriodNs;
}

struct Screen {
    xcb_connection_t* c;
    xcb_screen_t* screen;
    xcb_window_t window;
    std::uint16_t w, h;

    bool sync() const {
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        return !xcb_connection_has_error(c);
    }
};

Screen openScreen() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "skylark_e2e_scene: cannot open the display\n");
        std::exit(1);
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen->black_pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    const std::uint32_t below[] = {XCB_STACK_MODE_BELOW};
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, below);
    Screen s{c, screen, window, screen->width_in_pixels, screen->height_in_pixels};
    s.sync();
    return s;
}

// A pattern twice the screen's width: colour ramps, a checkerboard and noise, so the encoder
// meets detail everywhere and motion it can follow.
int motion(const Screen& s) {
    const int w = s.w * 2;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * s.h);
    std::uint32_t seed = 12345;
    for (int y = 0; y < s.h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>(seed >> 27);  // 0..31
            const bool check = ((x / 64) + (y / 64)) % 2 == 0;
            const int r = (x * 255 / w + noise) & 0xff;
            const int g = ((check ? 200 : 40) + noise) & 0xff;
            const int b = (y * 255 / s.h + (x / 7) % 40) & 0xff;
            pixels[static_cast<std::size_t>(y) * w + x] =
                static_cast<std::uint32_t>(r << 16 | g << 8 | b);
        }
    }
    const xcb_pixmap_t pixmap = xcb_generate_id(s.c);
    xcb_create_pixmap(s.c, s.screen->root_depth, pixmap, s.window, w, s.h);
    const xcb_gcontext_t gc = xcb_generate_id(s.c);
    xcb_create_gc(s.c, gc, pixmap, 0, nullptr);
    const std::size_t maxBytes = xcb_get_maximum_request_length(s.c) * 4u - 64;
    const int rowsPerPut = static_cast<int>(maxBytes / (static_cast<std::size_t>(w) * 4));
    for (int y = 0; y < s.h; y += rowsPerPut) {
        const int rows = std::min(rowsPerPut, s.h - y);
        xcb_put_image(
            s.c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, w, rows, 0, y, 0, s.screen->root_depth,
            static_cast<std::uint32_t>(w * rows * 4),
            reinterpret_cast<const std::uint8_t*>(&pixels[static_cast<std::size_t>(y) * w]));
    }
    s.sync();
    std::int64_t next = nowNs();
    for (unsigned frame = 0;; ++frame) {
        const int shift = static_cast<int>(frame * 12 % s.w);
        xcb_copy_area(s.c, pixmap, s.window, gc, shift, 0, 0, 0, s.w, s.h);
        if (!s.sync()) {
            return 0;
        }
        next += kSecondNs / 30;
        sleepUntil(next);
    }
}

// Writes a continuous stream, silence and beeps, in 5 ms blocks; each block's samples are
// placed by when they will reach the sink (now plus the stream's reported latency).
void beep() {
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    // 200 ms queued: a busy machine that wakes this thread late must not run the stream dry,
    // which would put every later sample late by the gap.
    attr.tlength = kRate / 5 * 4;
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    pa_simple* pa = pa_simple_new(nullptr, "skylark_e2e_scene", PA_STREAM_PLAYBACK, nullptr, "beep",
                                  &format, nullptr, &attr, &error);
    if (!pa) {
        std::fprintf(stderr, "skylark_e2e_scene: %s\n", pa_strerror(error));
        std::exit(1);
    }
    constexpr int kBlock = kRate / 200;
    std::int16_t block[kBlock * 2];
    for (;;) {
        const pa_usec_t latencyUs = pa_simple_get_latency(pa, &error);
        const std::int64_t first = nowNs() + static_cast<std::int64_t>(latencyUs) * 1000;
        for (int i = 0; i < kBlock; ++i) {
            const std::int64_t since = sinceFlash(first + std::int64_t{i} * kSecondNs / kRate);
            const double v =
                since < kFlashNs ? 16000.0 * std::sin(2 * M_PI * 1000.0 * since / 1e9) : 0;
            block[2 * i] = block[2 * i + 1] = static_cast<std::int16_t>(v);
        }
        if (pa_simple_write(pa, block, sizeof block, &error) < 0) {
            std::fprintf(stderr, "skylark_e2e_scene: %s\n", pa_strerror(error));
            std::exit(1);
        }
    }
}

int flash(const Screen& s) {
    std::thread(beep).detach();
    const xcb_gcontext_t white = xcb_generate_id(s.c);
    const std::uint32_t whiteValues[] = {s.screen->white_pixel};
    xcb_create_gc(s.c, white, s.window, XCB_GC_FOREGROUND, whiteValues);
    const xcb_rectangle_t all{0, 0, s.w, s.h};
    for (;;) {
        const std::int64_t now = nowNs();
        const std::int64_t onset = now - sinceFlash(now) + kFlashPeriodNs;
        sleepUntil(onset);
        xcb_poly_fill_rectangle(s.c, s.window, white, 1, &all);
        if (!s.sync()) {
            return 0;
        }
        sleepUntil(onset + kFlashNs);
        xcb_clear_area(s.c, 0, s.window, 0, 0, 0, 0);
        if (!s.sync()) {
            return 0;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode != "motion" && mode != "flash") {
        std::fprintf(stderr, "usage: skylark_e2e_scene motion|flash\n");
        return 2;
    }
    const Screen s = openScreen();
    return mode == "motion" ? motion(s) : flash(s);
}
