#include "platform/gstreamer/capture_pipeline.hpp"

#include <gst/gst.h>
#include <time.h>

#include <stdexcept>
#include <string>

namespace skylark {

GstElement* makeCapturePipeline(const char* description, std::int64_t base_ns, const char* what) {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description, &error);
    if (pipeline == nullptr || error != nullptr) {
        const std::string message = error != nullptr ? error->message : "no pipeline";
        g_clear_error(&error);
        if (pipeline != nullptr) {
            gst_object_unref(pipeline);
        }
        throw std::runtime_error(std::string(what) + " could not be built: " + message);
    }
    GstClock* clock = gst_system_clock_obtain();
    g_object_set(clock, "clock-type", GST_CLOCK_TYPE_MONOTONIC, nullptr);
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_object_unref(clock);
    gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
    gst_element_set_base_time(pipeline, static_cast<GstClockTime>(base_ns));
    return pipeline;
}

std::int64_t captureClockNow_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

}  // namespace skylark
