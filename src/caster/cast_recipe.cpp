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

    StreamConfiguration& stream = recipe.stream;
    stream.width = recipe.size.width;
    stream.height = recipe.size.height;
    stream.minimumFrameInterval = MediaTime::make(1, kCast.frames_per_second);
    stream.queueDepth = kCast.capture_queue_depth;
    stream.pixelFormat = StreamConfiguration::kPixelFormatBGRA;
    stream.capturesAudio = true;
    stream.excludesCurrentProcessAudio = true;  // no feedback from anything this process plays
    stream.sampleRate = kCast.audio_rate_hz;
    stream.channelCount = kCast.audio_channels;

    WriterSettings& writer = recipe.writer;
    writer.width = recipe.size.width;
    writer.height = recipe.size.height;
    writer.video_bitrate_bps = kCast.video_bitrate_bps;
    writer.key_frame_max_frames = kCast.key_frame_max_frames;
    writer.key_frame_max_interval = kCast.key_frame_max_interval;
    writer.audio_rate_hz = kCast.audio_rate_hz;
    writer.audio_channels = kCast.audio_channels;
    writer.audio_bitrate_bps = kCast.audio_bitrate_bps;
    writer.segment_interval = kCast.segment_interval;
    return recipe;
}

ContentPickerConfiguration castPickerConfiguration() {
    ContentPickerConfiguration configuration;
    configuration.allowedPickerModes = kCast.picker_modes;
    configuration.allowsChangingSelectedContent = false;
    return configuration;
}

}  // namespace skylark
