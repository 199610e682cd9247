#include "platform/gstreamer/opus_encoder.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <stdexcept>
#include <string>

#include "platform/gstreamer/capture_pipeline.hpp"

namespace skylark {
namespace {

// A sound server that stalls must not pile up PCM here: past this, buffers are dropped.
constexpr guint64 kMaxQueuedBytes = 512 * 1024;

// Opus in 10 ms frames in its low-delay mode: the sound adds as little delay as the picture.
// Each frame follows the one before by exactly its length, as a receiver's jitter buffer needs:
// the capture's times are slewed against the sound card's clock, and a frame stamped a little
// early reads as a late duplicate and is thrown away. Once the capture's line has moved 10 ms
// away (it settles in the first seconds), the encoder drops the overlap or leaves the gap, and
// the sound is back on the picture's clock.
constexpr const char* kPipeline =
    "appsrc name=pcm is-live=true format=time do-timestamp=false "
    "! audioconvert ! audioresample ! audio/x-raw,rate=48000,channels=2 "
    "! opusenc frame-size=10 audio-type=restricted-lowdelay bitrate=128000 "
    "  perfect-timestamp=true tolerance=10000000 hard-resync=true "
    "! appsink name=opus sync=false emit-signals=false max-buffers=50 drop=true";

}  // namespace

OpusEncoder::OpusEncoder(std::int64_t base_ns, Output output)
    : base_ns_(base_ns), output_(std::move(output)) {
    pipeline_ = makeCapturePipeline(kPipeline, base_ns, "The Opus encoder");
    source_ = gst_bin_get_by_name(GST_BIN(pipeline_), "pcm");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "opus");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* sink, gpointer data) {
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (sample != nullptr) {
            static_cast<OpusEncoder*>(data)->output_(sample);
            gst_sample_unref(sample);
        }
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_object_unref(sink);

    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(source_);
        gst_object_unref(pipeline_);
        throw std::runtime_error("The Opus encoder could not start.");
    }
}

OpusEncoder::~OpusEncoder() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(source_);
    gst_object_unref(pipeline_);
}

void OpusEncoder::push(const AudioBuffer& pcm) {
    const std::int64_t pts = pcm.time_ns - base_ns_;
    GstAppSrc* source = GST_APP_SRC(source_);
    if (pts < 0 || !pcm.samples || pcm.frames <= 0 || pcm.rate_hz <= 0 || pcm.channels <= 0 ||
        gst_app_src_get_current_level_bytes(source) > kMaxQueuedBytes) {
        return;
    }
    if (pcm.rate_hz != rate_ || pcm.channels != channels_) {
        rate_ = pcm.rate_hz;
        channels_ = pcm.channels;
        GstAudioInfo info;
        gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, pcm.rate_hz, pcm.channels,
                                  nullptr);
        GstCaps* caps = gst_audio_info_to_caps(&info);
        gst_app_src_set_caps(source, caps);
        gst_caps_unref(caps);
    }
    const gsize size = static_cast<gsize>(pcm.frames) * pcm.channels * sizeof(float);
    auto* keep = new std::shared_ptr<const float>(pcm.samples);
    GstBuffer* buffer = gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, const_cast<float*>(pcm.samples.get()), size, 0, size, keep,
        [](gpointer p) { delete static_cast<std::shared_ptr<const float>*>(p); });
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(pts);
    GST_BUFFER_DURATION(buffer) =
        gst_util_uint64_scale_int(static_cast<guint64>(pcm.frames), GST_SECOND, pcm.rate_hz);
    gst_app_src_push_buffer(source, buffer);
}

}  // namespace skylark
