#pragma once

#include <cstdint>
#include <optional>

namespace skylark {

struct PixelSize {
    int width = 0, height = 0;
};

// The picture size, in pixels, that PipeWire video node `nodeId` offers in its formats, asked
// over a connection of its own (through a copy of `remoteFd`, or to the session's daemon when it
// is -1); nothing when the node does not say within `timeout_ms`. A compositor that scales its
// screens gives their sizes elsewhere in its own coordinates, not in pixels.
std::optional<PixelSize> nodeVideoSize(int remoteFd, std::uint32_t nodeId, int timeout_ms);

}  // namespace skylark
