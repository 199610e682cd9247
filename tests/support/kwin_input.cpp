// Input for KWin as a person's own, through its fake-input protocol:
//   kwin_input click X Y      moves the pointer to (X, Y) of the desktop and clicks the left button
//   kwin_input keys CODE...   presses the keys (Linux key codes) in order, lets them go in reverse
// Exits 0 once KWin has taken every event, 1 when it offers no fake input to this client.
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <cstdlib>
#include <cstring>

#include "fake-input-client.h"

namespace {

org_kde_kwin_fake_input* input = nullptr;

void announced(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0) {
        input = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
    }
}
const wl_registry_listener listener = {announced, [](void*, wl_registry*, uint32_t) {}};

}  // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr || argc < 3) {
        return 2;
    }
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    wl_display_roundtrip(display);
    if (input == nullptr) {
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(input, "Skylark tests", "to answer dialogs");
    if (std::strcmp(argv[1], "click") == 0 && argc == 4) {
        org_kde_kwin_fake_input_pointer_motion_absolute(input, wl_fixed_from_double(atof(argv[2])),
                                                        wl_fixed_from_double(atof(argv[3])));
        org_kde_kwin_fake_input_button(input, BTN_LEFT, 1);
        org_kde_kwin_fake_input_button(input, BTN_LEFT, 0);
    } else {
        for (int i = 0, n = argc - 2; i < 2 * n; ++i) {  // presses, then releases in reverse
            org_kde_kwin_fake_input_keyboard_key(input, atoi(argv[2 + (i < n ? i : 2 * n - 1 - i)]),
                                                 i < n);
        }
    }
    return wl_display_roundtrip(display) < 0 ? 1 : 0;
}
