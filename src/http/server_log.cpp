#include "http/server_log.hpp"

#include <syslog.h>

#include <cstdio>
#include <string>

namespace skylark {

void logServerMessage(std::string_view message) {
    const std::string text(message);
    ::syslog(LOG_ERR, "%s", text.c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace skylark
