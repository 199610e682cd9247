#pragma once

// What the capture asks of the compositor's video node: the formats it reads and the buffers it
// can map, with the metadata that tells new content from repeats.
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <cstdint>

namespace skylark::pipewire {

// BGRx/BGRA preferred, RGBx/RGBA accepted; any size (`width` x `height` preferred); at most
// `maxFrameRate` frames a second.
const spa_pod* buildFormats(spa_pod_builder& b, uint32_t width, uint32_t height,
                            uint32_t maxFrameRate);

// Fills `params` (4 entries): mappable memory, and header, crop and damage metadata.
void buildBufferParams(spa_pod_builder& b, const spa_pod* params[4]);

const char* formatName(spa_video_format format);

}  // namespace skylark::pipewire
