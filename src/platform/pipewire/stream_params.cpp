#include "platform/pipewire/stream_params.hpp"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>

namespace skylark::pipewire {
namespace {

constexpr uint32_t kMaxSide = 16384;
constexpr uint32_t kDamageRegions = 16;

}  // namespace

const spa_pod* buildFormats(spa_pod_builder& b, uint32_t width, uint32_t height,
                            uint32_t maxFrameRate) {
    spa_rectangle preferredSize = SPA_RECTANGLE(width, height);
    spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    spa_rectangle maxSize = SPA_RECTANGLE(kMaxSide, kMaxSide);
    const uint32_t rate = std::max<uint32_t>(maxFrameRate, 1);
    spa_fraction preferredRate = SPA_FRACTION(rate, 1);
    spa_fraction variableRate = SPA_FRACTION(0, 1);
    spa_fraction lowestRate = SPA_FRACTION(1, 1);
    spa_fraction highestRate = SPA_FRACTION(1000, 1);
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferredSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&preferredRate, &variableRate, &highestRate),
        SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&preferredRate, &lowestRate, &preferredRate)));
}

void buildBufferParams(spa_pod_builder& b, const spa_pod* params[4]) {
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions, sizeof(spa_meta_region),
                                 sizeof(spa_meta_region) * kDamageRegions)));
}

const char* formatName(spa_video_format format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
            return "BGRx";
        case SPA_VIDEO_FORMAT_BGRA:
            return "BGRA";
        case SPA_VIDEO_FORMAT_RGBx:
            return "RGBx";
        case SPA_VIDEO_FORMAT_RGBA:
            return "RGBA";
        default:
            return "other";
    }
}

}  // namespace skylark::pipewire
