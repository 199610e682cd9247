#include "caster/cast_recipe.hpp"

#include <algorithm>
#include <cmath>

namespace skylark {

namespace {

constexpr double kLargestDimension = 1099511627776.0;  // 2^40 pixels: far beyond any screen

// A dimension in pixels: truncated toward zero, at least 2, never beyond kLargestDimension.
// Not-a-number and negative values give 2.
std::int64_t dimension(double pixels) {
    if (!(pixels >= 2.0)) {
        return 2;
    }
    return static_cast<std::int64_t>(std::trunc(std::min(pixels, kLargestDimension)));
}

}  // namespace

EncodingSize computeEncodingSize(double contentWidthPoints, double contentHeightPoints,
                                 double pixelsPerPoint) {
    EncodingSize size;
    size.sourceWidth = dimension(contentWidthPoints * pixelsPerPoint);
    size.sourceHeight = dimension(contentHeightPoints * pixelsPerPoint);
    size.width = std::min(kCast.max_encoding_width, size.sourceWidth);
    size.width -= size.width % 2;
    const double height = static_cast<double>(size.width) * static_cast<double>(size.sourceHeight) /
                          static_cast<double>(size.sourceWidth);
    size.height = dimension(height);
    size.height -= size.height % 2;
    return size;
}

CastRecipe castRecipe(ContentSize points, double pixelsPerPoint) {
    CastRecipe recipe;
    recipe.size = computeEncodingSize(points.width, points.height, pixelsPerPoint);

    WriterSettings& writer = recipe.writer;
    writer.width = recipe.size.width;
    writer.height = recipe.size.height;

    StreamConfiguration& stream = recipe.stream;
    stream.width = recipe.size.width;
    stream.height = recipe.size.height;
    stream.minimumFrameInterval_ns = 1'000'000'000 / writer.frame_rate_fps;
    stream.queueDepth = kCast.capture_queue_depth;
    stream.capturesAudio = true;
    stream.sampleRate = writer.audio_rate_hz;
    stream.channelCount = writer.audio_channels;
    return recipe;
}

ContentPickerConfiguration castPickerConfiguration() {
    ContentPickerConfiguration configuration;
    configuration.allowedPickerModes = kCast.picker_modes;
    return configuration;
}

}  // namespace skylark
