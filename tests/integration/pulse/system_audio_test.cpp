// System audio through a real PulseAudio daemon with a null sink (started here): a sine wave
// played into the sink comes back from its monitor on the monotonic clock; without a server, or
// after it dies, silence goes on at the same rate on the same time line.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "platform/pulse/system_audio.hpp"
#include "support/desktop_services.hpp"

namespace skylark::pulse {
namespace {

using namespace std::chrono_literals;
using ns = std::chrono::nanoseconds;

TEST(SystemAudio, ATonePlayedIsRecordedOnTheVideoClockAndAMissingOrLostServerBecomesSilence) {
    for (const std::string server : {"tone", "none", "lost"}) {
        SCOPED_TRACE(server);
        auto pulse = server == "none" ? nullptr : std::make_unique<testing::PulseServer>();
        if (server == "tone") {  // a 1 kHz sine wave into the default sink
            ASSERT_EQ(testing::runToEnd({"pactl", "--server=" + pulse->address(), "load-module",
                                         "module-sine", "frequency=1000"}),
                      0);
        }
        std::mutex mutex;
        std::vector<std::pair<AudioChunk, ns>> chunks;  // with when each arrived
        std::vector<std::string> traces;
        auto count = [&](bool silent) {
            std::lock_guard lock(mutex);
            return std::count_if(chunks.begin(), chunks.end(),
                                 [&](auto& c) { return c.first.silence == silent; });
        };
        SystemAudioCapture::Settings settings;
        settings.server = pulse ? pulse->address() : "unix:/nonexistent/native";
        SystemAudioCapture capture(
            settings,
            [&](AudioChunk c) {
                std::lock_guard lock(mutex);
                chunks.emplace_back(std::move(c),
                                    std::chrono::steady_clock::now().time_since_epoch());
            },
            [&](std::string_view line) { traces.emplace_back(line); });
        capture.start();
        EXPECT_EQ(capture.recording(), server != "none");
        if (server != "none") {
            ASSERT_TRUE(testing::pollUntil([&] { return count(false) >= 250; }, 10s));
        }
        if (server == "lost") {
            pulse->kill();
        }
        ASSERT_TRUE(server == "tone" || testing::pollUntil([&] { return count(true) >= 30; }, 10s));
        capture.stop();
        EXPECT_FALSE(capture.recording());

        // Past the first quarter second (while latency reports settle), back to back 10 ms of
        // stereo at 48 kHz, silence going on where sound stopped.
        const size_t sound = count(false), from = sound ? 25 : 0;
        size_t loud = 0;
        ns earliest = ns::max();
        for (size_t i = from; i < chunks.size(); ++i) {
            const auto& [chunk, arrival] = chunks[i];
            EXPECT_EQ(chunk.samples.size(), 960u);
            EXPECT_EQ(chunk.silence, i >= sound);
            const auto step = i > from ? chunk.time - chunks[i - 1].first.time : 10ms;
            EXPECT_TRUE(step >= 9ms && step <= 11ms) << "chunk " << i;
            float peak = 0;
            for (float v : chunk.samples) {
                peak = std::max(peak, std::abs(v));
            }
            loud += std::abs(peak - 0.5f) < 0.01f;  // the sine wave's amplitude, intact
            EXPECT_TRUE(!chunk.silence || peak == 0);
            // Stamped when its first frame was captured, on the clock video frames use: none much
            // after it arrived (a sink renders ahead by its latency only; silence never), and in
            // every half second one arrives right after its end, however late the reader woke.
            const auto lag = arrival - (chunk.time + 10ms);
            EXPECT_GE(lag, chunk.silence ? 0ms : -60ms) << "chunk " << i;
            earliest = std::min(earliest, lag);
            if ((i - from + 1) % 50 == 0) {
                EXPECT_LE(earliest, 20ms) << "chunks up to " << i << " are stamped too early";
                earliest = ns::max();
            }
        }
        EXPECT_EQ(loud > 100, server == "tone") << "the tone was recorded " << loud << " times";
        const char* trace = server == "tone"   ? nullptr
                            : server == "none" ? "system audio unavailable ("
                                               : "sound server lost (";
        ASSERT_EQ(traces.size(), trace ? 1u : 0u);
        EXPECT_TRUE(!trace || traces[0].rfind(trace, 0) == 0) << traces[0];
    }
}

}  // namespace
}  // namespace skylark::pulse
