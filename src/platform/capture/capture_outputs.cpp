#include "platform/capture/capture_outputs.hpp"

#include <utility>
#include <vector>

namespace skylark::capture {
namespace {

constexpr std::int64_t kMaxSide = 16384;

}  // namespace

std::optional<Error> checkConfiguration(const StreamConfiguration& c, const char* domain,
                                        std::int64_t badRequest) {
    if (c.width < 2 || c.height < 2 || c.width > kMaxSide || c.height > kMaxSide) {
        return Error{domain, badRequest,
                     "The capture size " + std::to_string(c.width) + "x" +
                         std::to_string(c.height) + " is not supported."};
    }
    if (c.capturesAudio && (c.sampleRate < 8000 || c.sampleRate > 192000 || c.channelCount < 1 ||
                            c.channelCount > 8)) {
        return Error{domain, badRequest,
                     "System audio at " + std::to_string(c.sampleRate) + " Hz with " +
                         std::to_string(c.channelCount) + " channels is not supported."};
    }
    return std::nullopt;
}

std::chrono::nanoseconds frameInterval(std::int64_t interval_ns) {
    return std::chrono::nanoseconds(interval_ns > 0 ? interval_ns : 1'000'000'000 / 60);
}

std::unique_ptr<pulse::SystemAudioCapture> startSystemAudio(
    const StreamConfiguration& configuration, const std::string& server, const std::string& device,
    std::shared_ptr<Trace> trace, pulse::SystemAudioCapture::ChunkHandler onChunk) {
    pulse::SystemAudioCapture::Settings audio;
    audio.server = server;
    audio.device = device;
    audio.sampleRate = static_cast<uint32_t>(configuration.sampleRate);
    audio.channels = static_cast<uint32_t>(configuration.channelCount);
    auto capture = std::make_unique<pulse::SystemAudioCapture>(
        audio, std::move(onChunk), [trace = std::move(trace)](std::string_view line) {
            if (trace) {
                trace->trace(line);
            }
        });
    capture->start();
    return capture;
}

std::optional<Error> CaptureOutputs::add(std::weak_ptr<CaptureStreamOutput> output,
                                         StreamOutputType type, std::shared_ptr<Executor> queue,
                                         bool started, const char* domain,
                                         std::int64_t badRequest) {
    if (started) {
        return Error{domain, badRequest, "Outputs must be added before the capture starts."};
    }
    if (!queue) {
        return Error{domain, badRequest, "A capture output needs a queue to deliver on."};
    }
    switch (type) {
        case StreamOutputType::screen:
            screen = {std::move(output), std::move(queue)};
            return std::nullopt;
        case StreamOutputType::audio:
            audio = {std::move(output), std::move(queue)};
            return std::nullopt;
        default:
            return Error{domain, badRequest,
                         "This capture has no output of type " +
                             std::to_string(static_cast<std::int32_t>(type)) + "."};
    }
}

void CaptureOutputs::postScreen(std::shared_ptr<const frames::YuvPicture> picture,
                                std::chrono::nanoseconds time,
                                std::shared_ptr<const void> queued) const {
    VideoFrame frame;
    frame.width = static_cast<std::int32_t>(picture->width());
    frame.height = static_cast<std::int32_t>(picture->height());
    frame.stride_bytes = static_cast<std::int32_t>(picture->stride());
    frame.chroma_stride_bytes = static_cast<std::int32_t>(picture->chromaStride());
    frame.u = picture->plane(1);
    frame.v = picture->plane(2);
    const std::uint8_t* luma = picture->plane(0);
    frame.pixels = std::shared_ptr<const std::uint8_t>(std::move(picture), luma);
    frame.time_ns = time.count();
    screen.queue->post(
        [output = screen.output, frame = std::move(frame), queued = std::move(queued)]() mutable {
            if (auto o = output.lock()) {
                o->streamDidOutputVideo(frame);
            }
            queued.reset();
        });
}

void CaptureOutputs::postAudio(pulse::AudioChunk chunk) const {
    auto samples = std::make_shared<const std::vector<float>>(std::move(chunk.samples));
    AudioBuffer buffer;
    buffer.frames = static_cast<std::int32_t>(chunk.frames);
    buffer.channels = static_cast<std::int32_t>(chunk.channels);
    buffer.rate_hz = static_cast<std::int32_t>(chunk.sampleRate);
    buffer.samples = std::shared_ptr<const float>(samples, samples->data());
    buffer.time_ns = chunk.time.count();
    audio.queue->post([output = audio.output, buffer = std::move(buffer)] {
        if (auto o = output.lock()) {
            o->streamDidOutputAudio(buffer);
        }
    });
}

}  // namespace skylark::capture
