#pragma once

#include <string>
#include <string_view>

#include "http/device_access.hpp"
#include "http/routes.hpp"

namespace skylark {

// The route table as devices other than this computer meet it. Allowed devices and loopback get
// exactly what route() answers. Any other device gets 403 on the live stream (every path under
// /live/) and on the relay (/api/reset, /api/offer, /api/answer); the pages and the other
// /api/ routes answer it as usual. Two additions:
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
