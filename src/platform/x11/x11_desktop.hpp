#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/x11_connection.hpp"

namespace skylark::x11 {

struct Rect {
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// A display as the user knows it: a RandR monitor (one output, or a region set with
// `xrandr --setmonitor`), in root-window coordinates.
struct Monitor {
    std::string name;
    Rect rect;
    bool primary = false;
};

// A top-level application window as the window manager lists it.
struct AppWindow {
    xcb_window_t id = XCB_WINDOW_NONE;
    std::string className;  // second string of WM_CLASS, e.g. "XTerm"
    std::string title;      // _NET_WM_NAME, else WM_NAME
    uint32_t width = 0;
    uint32_t height = 0;
};

// The monitors of the screen, primary first, then in the server's order. Without RandR 1.5 the
// whole screen is one monitor named "Screen".
std::vector<Monitor> listMonitors(Connection& conn);

// The monitor named `name`, if it is still there.
std::optional<Monitor> findMonitor(Connection& conn, const std::string& name);

// The application windows in the window manager's client list (_NET_CLIENT_LIST), in its order.
// Without a window manager that keeps one, the viewable top-level windows that carry WM_CLASS
// (looking one level down for reparenting managers). Docks, desktops and `exclude` are left
// out, as are windows that are not mapped.
std::vector<AppWindow> listApplicationWindows(Connection& conn,
                                              xcb_window_t exclude = XCB_WINDOW_NONE);

// The window's class and title (empty strings when it has none or is gone).
AppWindow describeWindow(Connection& conn, xcb_window_t window);

}  // namespace skylark::x11
