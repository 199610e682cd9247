#include "http/responses.hpp"

#include <utility>

namespace skylark {

HTTPResponse notFound() {
    HTTPResponse response;
    response.status = "404 Not Found";
    response.contentType = "text/plain";
    response.body = makeBuffer("Not found");
    return response;
}

HTTPResponse segmentResponse(ByteBuffer segment) {
    HTTPResponse response;
    response.contentType = kSegmentType;
    response.body = std::move(segment);
    return response;
}

}  // namespace skylark
