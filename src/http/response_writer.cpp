#include "http/response_writer.hpp"

namespace skylark {

std::string responseHeader(const HTTPResponse& response) {
    std::string header;
    header.reserve(128 + response.status.size() + response.contentType.size());
    header += "HTTP/1.1 ";
    header += response.status;
    header += "\r\nContent-Type: ";
    header += response.contentType;
    if (!response.location.empty()) {
        header += "\r\nLocation: ";
        header += response.location;
    }
    if (response.stream) {
        header += "\r\nTransfer-Encoding: chunked";
    } else {
        header += "\r\nContent-Length: ";
        header += std::to_string(response.body->size());
    }
    header += "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    return header;
}

}  // namespace skylark
