// System audio through a real PulseAudio daemon with a null sink (started here): a tone played
// into the sink comes back from its monitor, stamped on the monotonic clock; without a server,
// or after it dies, silence goes on at the same rate.
#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/pulse/system_audio.hpp"
#include "support/desktop_services.hpp"

namespace skylark::pulse {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PulseServer;

struct Received {
    AudioChunk chunk;
    std::chrono::nanoseconds arrival;
};

class Recorder {
  public:
    SystemAudioCapture::ChunkHandler chunks() {
        return [this](AudioChunk chunk) {
            const auto arrival = Clock::now().time_since_epoch();
            std::lock_guard lock(mutex_);
            received_.push_back({std::move(chunk), arrival});
            changed_.notify_all();
        };
    }
    SystemAudioCapture::TraceHandler traces() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex_);
            traces_.emplace_back(line);
        };
    }
    bool waitFor(size_t n, std::chrono::seconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
    }
    template <class Predicate>
    bool waitUntil(Predicate done, std::chrono::seconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(received_); });
    }
    std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<std::string> traceLines() {
        std::lock_guard lock(mutex_);
        return traces_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> received_;
    std::vector<std::string> traces_;
};

// Plays a sine wave of `hz` at `amplitude` into the server's default sink until stopped.
class TonePlayer {
  public:
    TonePlayer(const std::string& server, double hz, float amplitude)
        : thread_([=, this] {
              const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
              int error = 0;
              pa_simple* s = pa_simple_new(server.c_str(), "test tone", PA_STREAM_PLAYBACK, nullptr,
                                           "tone", &format, nullptr, nullptr, &error);
              if (s == nullptr) {
                  failed_ = true;
                  return;
              }
              std::vector<float> block(480 * 2);
              uint64_t n = 0;
              while (!stop_) {
                  for (size_t i = 0; i < 480; ++i, ++n) {
                      const auto v = static_cast<float>(
                          amplitude * std::sin(2 * M_PI * hz * double(n) / 48000));
                      block[2 * i] = block[2 * i + 1] = v;
                  }
                  if (pa_simple_write(s, block.data(), block.size() * sizeof(float), &error) < 0) {
                      break;
                  }
              }
              pa_simple_free(s);
          }) {}
    ~TonePlayer() {
        stop_ = true;
        thread_.join();
    }
    bool failed() const { return failed_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

// Strength of `hz` in the left channel, as an amplitude (Goertzel).
double toneAmplitude(const AudioChunk& chunk, double hz) {
    const double w = 2 * M_PI * hz / chunk.sampleRate;
    double s1 = 0, s2 = 0;
    for (uint32_t i = 0; i < chunk.frames; ++i) {
        const double s = chunk.samples[size_t{i} * chunk.channels] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return 2 * std::sqrt(power) / chunk.frames;
}

SystemAudioCapture::Settings settingsFor(const std::string& server) {
    SystemAudioCapture::Settings s;
    s.server = server;
    return s;
}

void expectContinuousTenMsChunks(const std::vector<Received>& received, size_t from = 0) {
    for (size_t i = from; i < received.size(); ++i) {
        const AudioChunk& c = received[i].chunk;
        EXPECT_EQ(c.frames, 480u);
        EXPECT_EQ(c.channels, 2u);
        EXPECT_EQ(c.sampleRate, 48000u);
        EXPECT_EQ(c.samples.size(), 960u);
        if (i > from) {
            // Back to back: the clock only slews by a fraction of a millisecond per buffer.
            const auto step = c.time - received[i - 1].chunk.time;
            EXPECT_GE(step, 9ms) << "chunk " << i;
            EXPECT_LE(step, 11ms) << "chunk " << i;
        }
    }
}

class SystemAudio : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = std::make_unique<PulseServer>(); }
    static void TearDownTestSuite() { server_.reset(); }
    static std::unique_ptr<PulseServer> server_;
};
std::unique_ptr<PulseServer> SystemAudio::server_;

TEST_F(SystemAudio, RecordsWhatIsPlayedOnTheMonotonicClock) {
    TonePlayer tone(server_->address(), 1000, 0.5f);
    Recorder recorder;
    SystemAudioCapture capture(settingsFor(server_->address()), recorder.chunks(),
                               recorder.traces());
    capture.start();
    EXPECT_TRUE(capture.recording());
    ASSERT_TRUE(recorder.waitFor(250));
    capture.stop();
    ASSERT_FALSE(tone.failed());

    const auto received = recorder.received();
    EXPECT_TRUE(recorder.traceLines().empty());
    // Past the first quarter second, while the server's first latency reports settle.
    expectContinuousTenMsChunks(received, 25);

    // The tone arrives intact (the monitor of a null sink is bit-exact).
    const auto loud = std::count_if(received.begin(), received.end(), [](const Received& r) {
        return std::abs(toneAmplitude(r.chunk, 1000) - 0.5) < 0.02;
    });
    EXPECT_GT(loud, 100) << "the tone was not recorded";
    float peak = 0;
    for (const auto& r : received) {
        EXPECT_FALSE(r.chunk.silence);
        for (float v : r.chunk.samples) {
            peak = std::max(peak, std::abs(v));
        }
    }
    EXPECT_NEAR(peak, 0.5f, 0.01f);

    // Each buffer is stamped with when its first frame was captured, on the clock that video
    // frames use: in every half second some buffer arrives within milliseconds of its end, so the
    // time line stays on the clock however late a busy machine wakes the reader. None is stamped
    // much after it arrived: only a sink that renders ahead (by its latency, tens of milliseconds)
    // hands over audio before its time. The first tenth of a second is left out (see above).
    for (size_t from = 25; from + 50 <= received.size(); from += 50) {
        auto earliest = std::chrono::nanoseconds::max();
        auto latest = std::chrono::nanoseconds::min();
        for (size_t i = from; i < from + 50; ++i) {
            const auto lag = received[i].arrival - (received[i].chunk.time + 10ms);
            EXPECT_GE(lag, -60ms) << "chunk " << i << " stamped in the future";
            earliest = std::min(earliest, lag);
            latest = std::max(latest, lag);
        }
        EXPECT_LE(earliest, 20ms) << "chunks " << from << "+ are stamped too early";
        EXPECT_GE(latest, -2ms) << "chunks " << from << "+ are stamped too late";
    }
}

TEST_F(SystemAudio, StopEndsDelivery) {
    Recorder recorder;
    SystemAudioCapture capture(settingsFor(server_->address()), recorder.chunks(),
                               recorder.traces());
    capture.start();
    ASSERT_TRUE(recorder.waitFor(5));
    capture.stop();
    const size_t after = recorder.received().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.received().size(), after);
    EXPECT_FALSE(capture.recording());
}

TEST(SystemAudioWithoutServer, NoSoundServerGivesSilenceAtTheSameRateAndOneTraceLine) {
    Recorder recorder;
    SystemAudioCapture capture(settingsFor("unix:/nonexistent/skylark-test/native"),
                               recorder.chunks(), recorder.traces());
    const auto begin = Clock::now().time_since_epoch();
    capture.start();
    EXPECT_FALSE(capture.recording());
    ASSERT_TRUE(recorder.waitFor(50));
    capture.stop();
    const auto received = recorder.received();
    expectContinuousTenMsChunks(received);
    for (const auto& r : received) {
        EXPECT_TRUE(r.chunk.silence);
        EXPECT_TRUE(std::all_of(r.chunk.samples.begin(), r.chunk.samples.end(),
                                [](float v) { return v == 0.0f; }));
        // Silence is handed on once its time has passed, never ahead of it.
        EXPECT_LE(r.chunk.time + 10ms, r.arrival);
    }
    EXPECT_GE(received.front().chunk.time, begin);
    const auto lines = recorder.traceLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("system audio unavailable (", 0), 0u) << lines[0];
}

TEST(SystemAudioServerLoss, ALostServerTurnsIntoSilenceOnTheSameTimeLine) {
    auto server = std::make_unique<PulseServer>();
    Recorder recorder;
    SystemAudioCapture capture(settingsFor(server->address()), recorder.chunks(),
                               recorder.traces());
    capture.start();
    ASSERT_TRUE(capture.recording());
    ASSERT_TRUE(recorder.waitFor(20));
    server->kill();
    ASSERT_TRUE(recorder.waitUntil([](const std::vector<Received>& r) {
        return std::count_if(r.begin(), r.end(), [](auto& x) { return x.chunk.silence; }) >= 20;
    }));
    capture.stop();
    EXPECT_FALSE(capture.recording());

    const auto received = recorder.received();
    const auto firstSilent = std::find_if(received.begin(), received.end(),
                                          [](const Received& r) { return r.chunk.silence; });
    ASSERT_NE(firstSilent, received.begin());
    EXPECT_TRUE(std::all_of(firstSilent, received.end(), [](auto& r) { return r.chunk.silence; }));
    // Silence continues right where the recording stopped.
    expectContinuousTenMsChunks(received, static_cast<size_t>(firstSilent - received.begin()) - 1);
    const auto lines = recorder.traceLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("sound server lost (", 0), 0u) << lines[0];
}

}  // namespace
}  // namespace skylark::pulse
