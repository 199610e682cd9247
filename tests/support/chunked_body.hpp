#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace skylark::test {

// The payload of an HTTP/1.1 chunked body, and whether the zero chunk ended it.
inline std::pair<std::string, bool> dechunk(std::string_view body) {
    std::string payload;
    for (std::size_t line; (line = body.find("\r\n")) != std::string_view::npos;) {
        const std::size_t size = std::stoul(std::string(body.substr(0, line)), nullptr, 16);
        if (size == 0 || body.substr(line + 2).size() < size + 2 ||
            body.substr(line + size + 2, 2) != "\r\n") {
            return {payload + std::string(body.substr(line + 2, size)),
                    size == 0 && body.substr(line) == "\r\n\r\n"};
        }
        payload += body.substr(line + 2, size);
        body.remove_prefix(line + size + 4);
    }
    return {payload, false};
}

}  // namespace skylark::test
