#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/media_time.hpp"

namespace skylark {

// Status of a captured screen frame, with the platform's raw values (SCFrameStatus). Only
// `complete` frames carry new content and are encoded; the others are dropped by the caster.
enum class FrameStatus : std::int64_t {
    complete = 0,
    idle = 1,
    blank = 2,
    suspended = 3,
    started = 4,
    stopped = 5,
};

// One per-frame attachment dictionary of a sample (the platform keys it by SCStreamFrameInfo).
// The caster reads only the frame status: absent stands for "key missing or not an integer".
struct SampleAttachments {
    std::optional<std::int64_t> status;  // a FrameStatus raw value
};

// A BGRA image: `height` rows of `width` pixels, 4 bytes each in the order blue, green, red,
// alpha, rows `bytesPerRow` bytes apart (bytesPerRow >= 4 * width). `pixels` points at the first
// byte of the top row and keeps the storage alive (use the aliasing constructor of shared_ptr to
// point into memory that another object owns, e.g. a shared-memory segment). The bytes are
// never modified once the image is handed over.
struct ImageBuffer {
    static constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;  // "BGRA"

    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bytesPerRow = 0;
    std::shared_ptr<const std::uint8_t> pixels;
};

// Interleaved 32-bit float PCM: `frameCount` frames of `channelCount` samples each (left, right
// for two channels), nominally in -1.0..1.0, at `sampleRate` frames a second. `samples` holds
// frameCount * channelCount floats and is never modified once handed over.
struct AudioBuffer {
    std::int32_t frameCount = 0;
    std::int32_t channelCount = 0;
    std::int32_t sampleRate = 0;
    std::shared_ptr<const float> samples;
};

// One captured sample, screen frame or audio buffer : an
// immutable value that is cheap to copy (its payload is shared, never copied).
//
// Capture implementations build screen frames with `screenFrame` and audio with `audio`; the
// presentation times of both kinds come from one clock (e.g. CLOCK_MONOTONIC in nanoseconds,
// timescale 1000000000), so the caster can compare them. Writers read the payload during
// append() and may keep the shared pointers beyond it.
struct SampleBuffer {
    bool isValid = false;
    // The per-frame attachments array; absent when the sample has none (audio).
    std::optional<std::vector<SampleAttachments>> attachments;
    // The image of a screen frame; absent for audio (and for frames without new content).
    std::optional<ImageBuffer> imageBuffer;
    // The samples of an audio buffer; absent for screen frames.
    std::optional<AudioBuffer> audioBuffer;
    MediaTime presentationTimeStamp;

    // A valid screen frame with one attachment holding `status`, and the image if given.
    static SampleBuffer screenFrame(std::optional<ImageBuffer> image, MediaTime presentationTime,
                                    FrameStatus status = FrameStatus::complete) {
        SampleBuffer sample;
        sample.isValid = true;
        sample.attachments =
            std::vector<SampleAttachments>{SampleAttachments{static_cast<std::int64_t>(status)}};
        sample.imageBuffer = std::move(image);
        sample.presentationTimeStamp = presentationTime;
        return sample;
    }

    // A valid audio buffer without attachments.
    static SampleBuffer audio(AudioBuffer buffer, MediaTime presentationTime) {
        SampleBuffer sample;
        sample.isValid = true;
        sample.audioBuffer = std::move(buffer);
        sample.presentationTimeStamp = presentationTime;
        return sample;
    }
};

}  // namespace skylark
