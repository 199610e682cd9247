#pragma once

#include <string>
#include <string_view>

#include "http/device_access.hpp"
#include "http/routes.hpp"

namespace skylark {

// The route table as devices other than this computer meet it. Allowed devices and loopback get
// exactly what route() answers. Any other device gets what route() answers only for GET of the
// pages, the logo, /api/info, /api/command and /api/live; everything else (the live stream under
// /live/, the relay's /api/offer, /api/answer and /api/reset) answers it 403. Two additions:
//   POST /api/access          the device asks to watch (see DeviceAccess::ask) and hears
//                             {"access":"allowed"}, {"access":"denied"} or
//                             {"access":"waiting","code":"<4 digits>"[,"key":"<new key>"]};
//   /device/<key>/<path>      <path> as the device holding <key>: the URL for a player that
//                             keeps no cookie (a relative playlist entry keeps the prefix).
// A device presents its key in the cookie "skylark-key". `request.peer` is its address.
HTTPResponse routeForDevice(const HTTPRequest& request, const RouteContext& context,
                            DeviceAccess& access);

// The key a request carries in its "skylark-key" cookie, or an empty text.
std::string requestKey(std::string_view header);

inline constexpr std::string_view kDevicePathPrefix = "/device/";

}  // namespace skylark
