#pragma once

// Synthetic media and a segment collector for driving the real writer in tests.

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/bytes.hpp"
#include "platform/ffmpeg/encoder_settings.hpp"

namespace skylark::test {

constexpr std::int64_t kSecond_ns = 1'000'000'000;

// A moving pattern: diagonal bands sliding right, a square crossing the picture, and a band of
// noise, so every frame differs from the last and costs the encoder real bits.
inline ffmpeg::VideoFrame patternFrame(int width, int height, int index) {
    const int stride = width * 4 + 16;  // rows padded, as captured images often are
    auto pixels =
        std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(stride) * height);
    std::uint32_t noise = 2463534242u + static_cast<std::uint32_t>(index) * 7919u;
    const int square = std::max(2, height / 4);
    const int squareX = (index * 7) % std::max(1, width - square);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixels->data() + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = row + x * 4;
            p[0] = static_cast<std::uint8_t>((x + y + index * 4) * 2);
            p[1] = static_cast<std::uint8_t>(y * 255 / height);
            p[2] = static_cast<std::uint8_t>(x * 255 / width);
            p[3] = 255;
            if (y > height * 3 / 4) {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                p[0] = p[1] = p[2] = static_cast<std::uint8_t>(noise);
            }
            if (x >= squareX && x < squareX + square && y >= height / 4 &&
                y < height / 4 + square) {
                p[0] = p[1] = p[2] = 250;
            }
        }
    }
    return ffmpeg::VideoFrame{width, height, stride,
                              std::shared_ptr<const std::uint8_t>(pixels, pixels->data())};
}

// One colour all over.
inline ffmpeg::VideoFrame solidFrame(int width, int height, std::uint8_t blue, std::uint8_t green,
                                     std::uint8_t red) {
    auto pixels =
        std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels->size(); i += 4) {
        (*pixels)[i] = blue;
        (*pixels)[i + 1] = green;
        (*pixels)[i + 2] = red;
        (*pixels)[i + 3] = 255;
    }
    return ffmpeg::VideoFrame{width, height, width * 4,
                              std::shared_ptr<const std::uint8_t>(pixels, pixels->data())};
}

// `count` frames of a 440 Hz stereo tone starting at sample `first` of a 48 kHz timeline.
inline ffmpeg::AudioSamples toneSamples(std::int64_t first, int count, int rate = 48000,
                                        int channels = 2) {
    auto samples = std::make_shared<std::vector<float>>(static_cast<std::size_t>(count) * channels);
    for (int i = 0; i < count; ++i) {
        float value =
            0.3f *
            static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(first + i) / rate));
        for (int c = 0; c < channels; ++c) {
            (*samples)[static_cast<std::size_t>(i) * channels + c] = value;
        }
    }
    return ffmpeg::AudioSamples{count, channels, rate,
                                std::shared_ptr<const float>(samples, samples->data())};
}

// Everything a writer delivered, in order, safe to read while the writer runs.
class SegmentCollector {
  public:
    struct Segment {
        ByteBuffer data;
        ffmpeg::SegmentType type;
    };

    void add(ByteBuffer data, ffmpeg::SegmentType type) {
        std::lock_guard guard(lock_);
        segments_.push_back({std::move(data), type});
        changed_.notify_all();
    }

    std::vector<Segment> segments() const {
        std::lock_guard guard(lock_);
        return segments_;
    }

    // Waits until `count` segments (initialization included) have come, or 20 s.
    bool waitFor(std::size_t count) const {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(20),
                                 [&] { return segments_.size() >= count; });
    }

    // The initialization segment and the media segments, as plain byte vectors.
    const Bytes* initialization() const {
        std::lock_guard guard(lock_);
        for (const auto& s : segments_) {
            if (s.type == ffmpeg::SegmentType::initialization) {
                return s.data.get();
            }
        }
        return nullptr;
    }
    std::vector<const Bytes*> media() const {
        std::lock_guard guard(lock_);
        std::vector<const Bytes*> result;
        for (const auto& s : segments_) {
            if (s.type != ffmpeg::SegmentType::initialization) {
                result.push_back(s.data.get());
            }
        }
        return result;
    }

  private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Segment> segments_;
};

// Polls `ready` until it holds or 10 s pass.
inline bool waitUntil(const std::function<bool()>& ready) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

}  // namespace skylark::test
