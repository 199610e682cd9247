#pragma once

#include <string_view>

#include "common/bytes.hpp"
#include "http/http_types.hpp"

namespace skylark {

inline constexpr std::string_view kSegmentType = "video/iso.segment";

// The answers that the route table and progressive segments share: for an unknown path or
// segment, and for a whole media segment.
HTTPResponse notFound();
HTTPResponse segmentResponse(ByteBuffer segment);

}  // namespace skylark
