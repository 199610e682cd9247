// System audio through a real PulseAudio daemon with a null sink (started here): a tone played
// into the sink comes back from its monitor on the monotonic clock; without a server, or after
// it dies, silence goes on at the same rate on the same time line.
#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <cmath>
#include <mutex>
#include <thread>

#include "platform/pulse/system_audio.hpp"
#include "support/desktop_services.hpp"

namespace skylark::pulse {
namespace {

using namespace std::chrono_literals;

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<AudioChunk, std::chrono::nanoseconds>> chunks;  // with arrival
    std::vector<std::string> traces;

    std::unique_ptr<SystemAudioCapture> start(const std::string& server) {
        SystemAudioCapture::Settings settings;
        settings.server = server;
        auto capture = std::make_unique<SystemAudioCapture>(
            settings,
            [this](AudioChunk c) {
                std::lock_guard lock(mutex);
                chunks.emplace_back(std::move(c),
                                    std::chrono::steady_clock::now().time_since_epoch());
            },
            [this](std::string_view line) {
                std::lock_guard lock(mutex);
                traces.emplace_back(line);
            });
        capture->start();
        return capture;
    }
    size_t count(bool silent) {
        std::lock_guard lock(mutex);
        return std::count_if(chunks.begin(), chunks.end(),
                             [&](auto& c) { return c.first.silence == silent; });
    }
    // Every chunk from `from` on is 10 ms of stereo at 48 kHz, back to back.
    void expectContinuous(size_t from) {
        std::lock_guard lock(mutex);
        for (size_t i = from; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].first.samples.size(), 960u);
            EXPECT_EQ(chunks[i].first.sampleRate, 48000u);
            if (i > from) {
                const auto step = chunks[i].first.time - chunks[i - 1].first.time;
                EXPECT_TRUE(step >= 9ms && step <= 11ms) << "chunk " << i;
            }
        }
    }
};

TEST(SystemAudio, APlayedToneIsRecordedIntactAndStampedWhenItWasCaptured) {
    testing::PulseServer server;
    std::atomic<bool> playing{true};
    std::thread tone([&] {  // 1 kHz at half amplitude into the default sink
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
        pa_simple* s = pa_simple_new(server.address().c_str(), "tone", PA_STREAM_PLAYBACK, nullptr,
                                     "tone", &format, nullptr, nullptr, nullptr);
        std::vector<float> block(960);
        for (uint64_t n = 0; s && playing; n += 480) {
            for (size_t i = 0; i < 960; ++i) {
                block[i] = 0.5f * float(std::sin(2 * M_PI * 1000 * double(n + i / 2) / 48000));
            }
            pa_simple_write(s, block.data(), block.size() * sizeof(float), nullptr);
        }
        pa_simple_free(s);
    });
    Recorder r;
    auto capture = r.start(server.address());
    EXPECT_TRUE(capture->recording());
    EXPECT_TRUE(testing::pollUntil([&] { return r.count(false) >= 250; }, 10s));
    capture->stop();
    playing = false;
    tone.join();
    EXPECT_TRUE(r.traces.empty());
    r.expectContinuous(25);  // past the first quarter second, while latency reports settle
    size_t loud = 0;
    auto earliest = std::chrono::nanoseconds::max();
    for (size_t i = 25; i < r.chunks.size(); ++i) {
        const auto& [chunk, arrival] = r.chunks[i];
        const float peak =
            std::abs(*std::max_element(chunk.samples.begin(), chunk.samples.end(),
                                       [](float a, float b) { return std::abs(a) < std::abs(b); }));
        loud += std::abs(peak - 0.5f) < 0.01f;
        // Stamped when its first frame was captured, on the clock video frames use: none much
        // after it arrived (a sink renders ahead by its latency only), and in every half second
        // one arrives right after its end, however late a busy machine wakes the reader.
        const auto lag = arrival - (chunk.time + 10ms);
        EXPECT_GE(lag, -60ms) << "chunk " << i;
        earliest = std::min(earliest, lag);
        if ((i - 24) % 50 == 0) {
            EXPECT_LE(earliest, 20ms) << "chunks up to " << i << " are stamped too early";
            earliest = std::chrono::nanoseconds::max();
        }
    }
    EXPECT_GT(loud, 100u) << "the tone was not recorded";
}

TEST(SystemAudio, NoServerOrALostOneTurnsIntoSilenceOnTheSameTimeLineWithOneTraceLine) {
    for (const bool lose : {false, true}) {
        SCOPED_TRACE(lose ? "lost" : "none");
        auto server = lose ? std::make_unique<testing::PulseServer>() : nullptr;
        Recorder r;
        auto capture = r.start(lose ? server->address() : "unix:/nonexistent/native");
        EXPECT_EQ(capture->recording(), lose);
        if (lose) {
            ASSERT_TRUE(testing::pollUntil([&] { return r.count(false) >= 20; }, 10s));
            server->kill();
        }
        ASSERT_TRUE(testing::pollUntil([&] { return r.count(true) >= 30; }, 10s));
        capture->stop();
        EXPECT_FALSE(capture->recording());
        const size_t firstSilent = r.count(false);
        r.expectContinuous(lose ? firstSilent - 1 : 0);  // silence goes on where sound stopped
        for (size_t i = firstSilent; i < r.chunks.size(); ++i) {
            EXPECT_TRUE(r.chunks[i].first.silence);
            EXPECT_EQ(std::count(r.chunks[i].first.samples.begin(), r.chunks[i].first.samples.end(),
                                 0.0f),
                      960);
            // Silence is handed on once its time has passed, never ahead of it.
            EXPECT_LE(r.chunks[i].first.time + 10ms, r.chunks[i].second);
        }
        ASSERT_EQ(r.traces.size(), 1u);
        EXPECT_EQ(r.traces[0].rfind(lose ? "sound server lost (" : "system audio unavailable (", 0),
                  0u)
            << r.traces[0];
    }
}

}  // namespace
}  // namespace skylark::pulse
