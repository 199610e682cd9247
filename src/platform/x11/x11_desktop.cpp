#include "platform/x11/x11_desktop.hpp"

#include <xcb/randr.h>

#include <algorithm>
#include <cstring>

namespace skylark::x11 {
namespace {

Reply<xcb_get_property_reply_t> getProperty(Connection& conn, xcb_window_t window,
                                            xcb_atom_t property, xcb_atom_t type,
                                            uint32_t maxLongs = 4096) {
    return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(
        conn.get(), xcb_get_property(conn.get(), 0, window, property, type, 0, maxLongs), nullptr));
}

std::string propertyText(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->format != 8) {
        return {};
    }
    const char* data = static_cast<const char*>(xcb_get_property_value(reply));
    std::string text(data, static_cast<size_t>(xcb_get_property_value_length(reply)));
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

std::vector<xcb_window_t> windowList(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->format != 32 || reply->type != XCB_ATOM_WINDOW) {
        return {};
    }
    const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
    return {ids, ids + xcb_get_property_value_length(reply) / 4};
}

bool isViewable(Connection& conn, xcb_window_t window, bool* overrideRedirect = nullptr) {
    Reply<xcb_get_window_attributes_reply_t> attrs(xcb_get_window_attributes_reply(
        conn.get(), xcb_get_window_attributes(conn.get(), window), nullptr));
    if (!attrs) {
        return false;
    }
    if (overrideRedirect != nullptr) {
        *overrideRedirect = attrs->override_redirect != 0;
    }
    return attrs->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool hasProperty(Connection& conn, xcb_window_t window, xcb_atom_t property) {
    auto reply = getProperty(conn, window, property, XCB_ATOM_ANY, 0);
    return reply && reply->type != XCB_ATOM_NONE;
}

// Docks, desktops, menus and the like are not applications a user would share.
bool isApplicationType(Connection& conn, xcb_window_t window) {
    auto reply = getProperty(conn, window, conn.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32);
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
        return true;
    }
    const xcb_atom_t type = *static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    return type == conn.atom("_NET_WM_WINDOW_TYPE_NORMAL") ||
           type == conn.atom("_NET_WM_WINDOW_TYPE_DIALOG");
}

// Clients of a window manager that keeps no EWMH list: top-level windows with WM_CLASS, or for
// a reparenting manager the child of a frame that carries WM_STATE.
std::vector<xcb_window_t> topLevelClients(Connection& conn) {
    std::vector<xcb_window_t> clients;
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(conn.get(), xcb_query_tree(conn.get(), conn.root()), nullptr));
    if (!tree) {
        return clients;
    }
    const xcb_atom_t wmState = conn.atom("WM_STATE");
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        bool overrideRedirect = false;
        if (!isViewable(conn, children[i], &overrideRedirect) || overrideRedirect) {
            continue;
        }
        if (hasProperty(conn, children[i], XCB_ATOM_WM_CLASS)) {
            clients.push_back(children[i]);
            continue;
        }
        Reply<xcb_query_tree_reply_t> sub(
            xcb_query_tree_reply(conn.get(), xcb_query_tree(conn.get(), children[i]), nullptr));
        if (!sub) {
            continue;
        }
        const xcb_window_t* grand = xcb_query_tree_children(sub.get());
        for (int j = 0; j < xcb_query_tree_children_length(sub.get()); ++j) {
            if (hasProperty(conn, grand[j], wmState)) {
                clients.push_back(grand[j]);
                break;
            }
        }
    }
    return clients;
}

}  // namespace

std::vector<Monitor> listMonitors(Connection& conn) {
    std::vector<Monitor> monitors;
    if (conn.hasExtension(xcb_randr_id)) {
        Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            conn.get(), xcb_randr_query_version(conn.get(), 1, 5), nullptr));
        if (version && (version->major_version > 1 || version->minor_version >= 5)) {
            Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
                conn.get(), xcb_randr_get_monitors(conn.get(), conn.root(), 1), nullptr));
            if (reply) {
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                     xcb_randr_monitor_info_next(&it)) {
                    const xcb_randr_monitor_info_t& m = *it.data;
                    if (m.width == 0 || m.height == 0) {
                        continue;
                    }
                    monitors.push_back(
                        {conn.atomName(m.name), {m.x, m.y, m.width, m.height}, m.primary != 0});
                }
            }
        }
    }
    if (monitors.empty()) {
        const xcb_screen_t& s = conn.screen();
        monitors.push_back({"Screen", {0, 0, s.width_in_pixels, s.height_in_pixels}, true});
    }
    // Without a primary set, the first monitor stands in for it so that something is selected.
    if (std::none_of(monitors.begin(), monitors.end(), [](auto& m) { return m.primary; })) {
        monitors.front().primary = true;
    }
    std::stable_partition(monitors.begin(), monitors.end(), [](auto& m) { return m.primary; });
    return monitors;
}

std::optional<Monitor> findMonitor(Connection& conn, const std::string& name) {
    for (auto& m : listMonitors(conn)) {
        if (m.name == name) {
            return m;
        }
    }
    return std::nullopt;
}

AppWindow describeWindow(Connection& conn, xcb_window_t window) {
    AppWindow w;
    w.id = window;
    const std::string wmClass =
        propertyText(getProperty(conn, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256).get());
    // WM_CLASS is "instance\0Class"; the class is the name users recognise.
    const size_t split = wmClass.find('\0');
    w.className = split == std::string::npos ? wmClass : wmClass.substr(split + 1);
    w.title = propertyText(
        getProperty(conn, window, conn.atom("_NET_WM_NAME"), conn.atom("UTF8_STRING"), 1024).get());
    if (w.title.empty()) {
        w.title =
            propertyText(getProperty(conn, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 1024).get());
    }
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(conn.get(), xcb_get_geometry(conn.get(), window), nullptr));
    if (geometry) {
        w.width = geometry->width;
        w.height = geometry->height;
    }
    return w;
}

std::vector<AppWindow> listApplicationWindows(Connection& conn, xcb_window_t exclude) {
    std::vector<xcb_window_t> ids = windowList(
        getProperty(conn, conn.root(), conn.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW).get());
    if (ids.empty()) {
        ids = topLevelClients(conn);
    }
    std::vector<AppWindow> windows;
    for (xcb_window_t id : ids) {
        if (id == exclude || !isApplicationType(conn, id) || !isViewable(conn, id)) {
            continue;
        }
        AppWindow w = describeWindow(conn, id);
        if (w.width > 0 && w.height > 0) {
            windows.push_back(std::move(w));
        }
    }
    return windows;
}

}  // namespace skylark::x11
