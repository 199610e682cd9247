// Cost and delay of Skylark's FFmpeg segment writer, side by side with the ffmpeg command-line
// tool doing the same job (same raw input, encoder settings and 0.25 s fMP4 HLS segments).
//
//   bench_ffmpeg_writer [--seconds N] [--sizes 1920x1080,1280x720] [--presets ultrafast,...]
//                       [--work DIR] [--ffmpeg PATH]
//
// For each size it writes N seconds of a synthetic desktop (30 frames a second, I420 pictures
// as the capture delivers them) and a 48 kHz stereo tone to raw files, then measures:
//   throughput  each side as fast as it goes: CPU seconds per media second, wall ms per frame
//               (Skylark: p50 and p99 of each frame's encode and mux; the tool: the mean),
//               peak resident memory, stream bit rate;
//   real time   frames appended at 30 a second on the wall clock through the threaded writer:
//               CPU per media second, delay from a frame's append to the delivery of the segment
//               that holds it (p50, p99, max), frames refused for back-pressure;
//               the tool paced with -re: CPU per media second.
// Every run is a process of its own, so CPU time and peak resident memory come from wait4 for
// both sides alike.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ffmpeg/ffmpeg_stream_writer.hpp"
#include "platform/ffmpeg/segment_engine.hpp"

extern char** environ;

namespace {

using namespace skylark;
using namespace skylark::ffmpeg;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kFps = 30;
constexpr int kRate = 48000;
constexpr int kAudioChunk = kRate / 100;  // 10 ms buffers, as the capture delivers them
constexpr std::int64_t kSecond_ns = 1'000'000'000;

struct Options {
    int seconds = 10;
    std::vector<std::pair<int, int>> sizes{{1920, 1080}, {1280, 720}};
    std::vector<std::string> presets;  // extra throughput runs of Skylark at other presets
    std::string preset = "ultrafast";
    fs::path work = fs::temp_directory_path() / "skylark-bench-ffmpeg";
    std::string ffmpeg = "ffmpeg";
    // Internal: run one Skylark pass in this process and print its figures.
    std::string pass;
};

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double elapsed(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(std::ceil(p / 100 * values.size())) - 1;
    return values[std::min(index, values.size() - 1)];
}

// BGRA to BT.601 limited-range I420 (each chroma sample from the top-left pixel of its 2x2),
// into `out` of width x height luma samples followed by the two quarter-size chroma planes.
void toI420(const std::vector<std::uint8_t>& bgra, int width, int height, std::uint8_t* out) {
    std::uint8_t* u = out + static_cast<std::size_t>(width) * height;
    std::uint8_t* v = u + static_cast<std::size_t>(width / 2) * (height / 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
            const int b = p[0], g = p[1], r = p[2];
            out[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint8_t>((66 * r + 129 * g + 25 * b + 128) / 256 + 16);
            if (x % 2 == 0 && y % 2 == 0) {
                const std::size_t c = static_cast<std::size_t>(y / 2) * (width / 2) + x / 2;
                u[c] = static_cast<std::uint8_t>((-38 * r - 74 * g + 112 * b + 128) / 256 + 128);
                v[c] = static_cast<std::uint8_t>((112 * r - 94 * g - 18 * b + 128) / 256 + 128);
            }
        }
    }
}

// A synthetic desktop: a gradient, text-like rows scrolling up, a window moving across, and a
// small video-like patch of noise.
void drawFrame(std::vector<std::uint8_t>& px, int width, int height, int index) {
    std::uint32_t noise = 2463534242u ^ static_cast<std::uint32_t>(index * 2654435761u);
    const int box = height / 3, boxX = (index * 9) % (width - box), boxY = height / 5;
    const int patchX = width * 5 / 8, patchY = height * 5 / 8, patch = height / 4;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = px.data() + static_cast<std::size_t>(y) * width * 4;
        const int textRow = (y + index * 2) % 24;
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = row + x * 4;
            std::uint8_t v = static_cast<std::uint8_t>(200 + (x * 40) / width);
            if (textRow < 14 && x % 300 < 260 &&
                ((x / 7 * 31 + (y + index * 2) / 24 * 17) % 5) != 0 &&
                ((x * 3 + textRow) % 7) < 3) {
                v = 40;  // glyph strokes
            }
            p[0] = v;
            p[1] = v;
            p[2] = static_cast<std::uint8_t>(v - 10);
            p[3] = 255;
            if (x >= boxX && x < boxX + box && y >= boxY && y < boxY + box) {
                p[0] = static_cast<std::uint8_t>(120 + (x - boxX) % 64);
                p[1] = 90;
                p[2] = static_cast<std::uint8_t>(60 + (y - boxY) % 128);
            }
            if (x >= patchX && x < patchX + patch && y >= patchY && y < patchY + patch) {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                std::uint8_t n = static_cast<std::uint8_t>(noise);
                p[0] = n;
                p[1] = static_cast<std::uint8_t>(n / 2 + x);
                p[2] = static_cast<std::uint8_t>(255 - n);
            }
        }
    }
}

struct Input {
    int width, height, frames;
    fs::path video, audio;
    int videoFile = -1, audioFile = -1;
    std::size_t frameBytes() const { return static_cast<std::size_t>(width) * height * 3 / 2; }
};

Input writeInput(const Options& o, int width, int height) {
    Input in{width, height, o.seconds * kFps,
             o.work / (std::to_string(width) + "x" + std::to_string(height) + ".i420"),
             o.work / "tone.f32"};
    if (!fs::exists(in.video) ||
        fs::file_size(in.video) != in.frameBytes() * static_cast<std::size_t>(in.frames)) {
        std::ofstream out(in.video, std::ios::binary);
        std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * height * 4);
        std::vector<std::uint8_t> yuv(in.frameBytes());
        for (int i = 0; i < in.frames; ++i) {
            drawFrame(px, width, height, i);
            toI420(px, width, height, yuv.data());
            out.write(reinterpret_cast<const char*>(yuv.data()), static_cast<long>(yuv.size()));
        }
    }
    const std::size_t samples = static_cast<std::size_t>(o.seconds) * kRate;
    if (!fs::exists(in.audio) || fs::file_size(in.audio) != samples * 2 * sizeof(float)) {
        std::vector<float> tone(samples * 2);
        for (std::size_t i = 0; i < samples; ++i) {
            tone[2 * i] = tone[2 * i + 1] =
                0.3f *
                static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / kRate));
        }
        std::ofstream(in.audio, std::ios::binary)
            .write(reinterpret_cast<const char*>(tone.data()),
                   static_cast<long>(tone.size() * sizeof(float)));
    }
    in.videoFile = open(in.video.c_str(), O_RDONLY);
    in.audioFile = open(in.audio.c_str(), O_RDONLY);
    return in;
}

// Reads frame `index` into one of a few buffers, which the writer may still hold while queued.
class FramePool {
  public:
    FramePool(const Input& in, int count) : in_(in) {
        for (int i = 0; i < count; ++i) {
            buffers_.push_back(std::make_shared<std::vector<std::uint8_t>>(in.frameBytes(), 1));
        }
    }
    VideoFrame read(int index) {
        auto& buffer = buffers_[static_cast<std::size_t>(index) % buffers_.size()];
        if (pread(in_.videoFile, buffer->data(), buffer->size(),
                  static_cast<off_t>(in_.frameBytes()) * index) < 0) {
            std::perror("read");
            std::exit(1);
        }
        const std::uint8_t* u = buffer->data() + static_cast<std::size_t>(in_.width) * in_.height;
        return VideoFrame{in_.width,
                          in_.height,
                          in_.width,
                          std::shared_ptr<const std::uint8_t>(buffer, buffer->data()),
                          u,
                          u + static_cast<std::size_t>(in_.width / 2) * (in_.height / 2),
                          in_.width / 2,
                          static_cast<std::int64_t>(index) * kSecond_ns / kFps};
    }

  private:
    const Input& in_;
    std::vector<std::shared_ptr<std::vector<std::uint8_t>>> buffers_;
};

AudioBuffer readAudio(const Input& in, int chunk) {
    auto samples = std::make_shared<std::vector<float>>(kAudioChunk * 2);
    pread(in.audioFile, samples->data(), samples->size() * sizeof(float),
          static_cast<off_t>(chunk) * kAudioChunk * 2 * sizeof(float));
    return AudioBuffer{kAudioChunk, 2, kRate,
                       std::shared_ptr<const float>(samples, samples->data()),
                       static_cast<std::int64_t>(chunk) * kSecond_ns / 100};
}

WriterSettings settingsFor(const Input& in) {
    WriterSettings settings;
    settings.width = in.width;
    settings.height = in.height;
    return settings;
}

EncoderTuning tuningFor(const std::string& preset) {
    EncoderTuning tuning;
    tuning.preset = preset;
    return tuning;
}

struct Result {
    double cpuPerMediaSecond = NAN;
    double frameP50_ms = NAN, frameP99_ms = NAN, frameMean_ms = NAN;
    double peak_MiB = NAN;
    double bitrate_Mbps = NAN;
    double delayP50_s = NAN, delayP99_s = NAN, delayMax_s = NAN;
    int refused = 0;
};

// Skylark as fast as it goes: the synchronous core on this thread, timing each frame.
Result skylarkThroughput(const Input& in, const std::string& preset) {
    FramePool pool(in, 2);
    std::size_t bytes = 0;
    SegmentEngine engine(settingsFor(in), tuningFor(preset), [&](SegmentKind type, Bytes data) {
        bytes += type == SegmentKind::part ? 0 : data.size();
    });
    std::vector<double> frameTimes;
    engine.start(0);
    int chunk = 0;
    for (int i = 0; i < in.frames; ++i) {
        const std::int64_t time = i * kSecond_ns / kFps;
        for (; static_cast<std::int64_t>(chunk) * kSecond_ns / 100 <= time; ++chunk) {
            engine.addAudio(readAudio(in, chunk),
                            static_cast<std::int64_t>(chunk) * kSecond_ns / 100);
        }
        VideoFrame frame = pool.read(i);
        auto start = Clock::now();
        engine.addVideo(frame, time);
        frameTimes.push_back(elapsed(start) * 1000);
    }
    engine.finish();
    Result r;
    r.frameP50_ms = percentile(frameTimes, 50);
    r.frameP99_ms = percentile(frameTimes, 99);
    double sum = 0;
    for (double t : frameTimes) {
        sum += t;
    }
    r.frameMean_ms = sum / static_cast<double>(frameTimes.size());
    r.bitrate_Mbps = static_cast<double>(bytes) * 8 / 1e6 * kFps / in.frames;
    return r;
}

// Counts the video samples of a media segment: the trun of the traf for track 1.
std::uint32_t videoSamples(const Bytes& segment) {
    auto u32 = [&](std::size_t at) {
        return (std::uint32_t{segment[at]} << 24) | (std::uint32_t{segment[at + 1]} << 16) |
               (std::uint32_t{segment[at + 2]} << 8) | segment[at + 3];
    };
    std::uint32_t count = 0;
    std::function<void(std::size_t, std::size_t, std::uint32_t)> walk =
        [&](std::size_t at, std::size_t end, std::uint32_t track) {
            while (at + 8 <= end) {
                std::uint32_t size = u32(at);
                std::string type(segment.begin() + static_cast<long>(at) + 4,
                                 segment.begin() + static_cast<long>(at) + 8);
                if (size < 8 || at + size > end) {
                    return;
                }
                if (type == "moof" || type == "traf") {
                    walk(at + 8, at + size, 0);
                } else if (type == "tfhd") {
                    track = u32(at + 12);
                } else if (type == "trun" && track == 1) {
                    count += u32(at + 12);
                }
                at += size;
            }
        };
    walk(0, segment.size(), 0);
    return count;
}

// Skylark in real time: the threaded writer fed at 30 frames a second on the wall clock.
Result skylarkRealTime(const Input& in, const std::string& preset) {
    FramePool pool(in, 6);  // the queue's frames, the one in the encoder, the one being read
    std::mutex lock;
    std::vector<Clock::time_point> appended;  // of each accepted frame, in order
    std::vector<double> delays;
    std::size_t delivered = 0, bytes = 0;
    struct Delivered : StreamWriterDelegate {
        std::function<void(ByteBuffer, SegmentKind)> take;
        void writerDidOutputSegment(ByteBuffer data, SegmentKind kind) override {
            take(data, kind);
        }
    };
    auto delegate = std::make_shared<Delivered>();
    delegate->take = [&](ByteBuffer data, SegmentKind type) {
        auto now = Clock::now();
        std::lock_guard guard(lock);
        // A frame is out with its fragment; the whole segment repeats those bytes.
        if (type != SegmentKind::part) {
            bytes += data->size();
            return;
        }
        for (std::uint32_t k = videoSamples(*data); k > 0 && delivered < appended.size();
             --k, ++delivered) {
            delays.push_back(std::chrono::duration<double>(now - appended[delivered]).count());
        }
    };
    auto created = FFmpegStreamWriter::create(settingsFor(in), delegate, tuningFor(preset));
    if (auto* error = std::get_if<Error>(&created)) {
        std::fprintf(stderr, "%s\n", error->localizedDescription().c_str());
        std::exit(1);
    }
    StreamWriter& writer = *std::get<std::shared_ptr<StreamWriter>>(created);
    const auto start = Clock::now();
    writer.start(0);
    Result r;
    int chunk = 0;
    for (int i = 0; i < in.frames; ++i) {
        const std::int64_t time = i * kSecond_ns / kFps;
        for (; static_cast<std::int64_t>(chunk) * kSecond_ns / 100 <= time; ++chunk) {
            std::this_thread::sleep_until(
                start +
                std::chrono::nanoseconds(static_cast<std::int64_t>(chunk) * kSecond_ns / 100));
            if (writer.isReadyFor(MediaKind::audio)) {
                writer.appendAudio(readAudio(in, chunk));
            }
        }
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(time));
        VideoFrame frame = pool.read(i);  // as a capture would grab it, then append
        if (!writer.isReadyFor(MediaKind::video)) {
            ++r.refused;
            continue;
        }
        std::lock_guard guard(lock);
        appended.push_back(Clock::now());
        if (!writer.appendVideo(frame)) {
            appended.pop_back();
            ++r.refused;
        }
    }
    // Frames after the last delivered segment wait for a segment that never closes: the
    // writer is cancelled, as a cast ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    writer.cancel();
    std::lock_guard guard(lock);
    r.delayP50_s = percentile(delays, 50);
    r.delayP99_s = percentile(delays, 99);
    r.delayMax_s = percentile(delays, 100);
    r.bitrate_Mbps = static_cast<double>(bytes) * 8 / 1e6 * kFps / in.frames;
    return r;
}

// A child process's CPU time and peak resident memory (from wait4: this process stays small,
// so the peak is the child's own) and what it printed.
struct Run {
    double cpu_s = 0, wall_s = 0, peak_MiB = 0;
    std::string output;
};

Run runProcess(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int pipeFDs[2];
    if (pipe(pipeFDs) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFDs[0]);
    pid_t pid = 0;
    auto start = Clock::now();
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFDs[1]);
    Run run;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFDs[0], buffer, sizeof buffer)) > 0;) {
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFDs[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wall_s = elapsed(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    run.cpu_s = cpuSeconds(usage);
    run.peak_MiB = static_cast<double>(usage.ru_maxrss) / 1024;
    return run;
}

// A Skylark pass in a process of its own, like the tool's, for comparable CPU and memory.
Result skylarkPass(const Options& o, const Input& in, const std::string& pass,
                   const std::string& preset) {
    Run run = runProcess({"/proc/self/exe", "--pass", pass, "--seconds", std::to_string(o.seconds),
                          "--sizes", std::to_string(in.width) + "x" + std::to_string(in.height),
                          "--preset", preset, "--work", o.work.string()});
    Result r;
    std::sscanf(run.output.c_str(), "%lf %lf %lf %lf %lf %lf %lf %d", &r.frameP50_ms,
                &r.frameP99_ms, &r.frameMean_ms, &r.bitrate_Mbps, &r.delayP50_s, &r.delayP99_s,
                &r.delayMax_s, &r.refused);
    r.cpuPerMediaSecond = run.cpu_s * kFps / in.frames;
    r.peak_MiB = run.peak_MiB;
    return r;
}

// The ffmpeg command-line tool doing the same job.
Result commandLine(const Options& o, const Input& in, bool realTime) {
    fs::path out = o.work / "cli";
    fs::remove_all(out);
    fs::create_directories(out);
    const std::string size = std::to_string(in.width) + "x" + std::to_string(in.height);
    std::vector<std::string> args{o.ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
    if (realTime) {
        args.push_back("-re");
    }
    for (const char* a : {"-f", "rawvideo", "-pix_fmt", "yuv420p", "-video_size"}) {
        args.push_back(a);
    }
    args.push_back(size);
    for (const char* a : {"-framerate", "30", "-i"}) {
        args.push_back(a);
    }
    args.push_back(in.video.string());
    if (realTime) {
        args.push_back("-re");
    }
    for (const char* a : {"-f", "f32le", "-ar", "48000", "-ac", "2", "-i"}) {
        args.push_back(a);
    }
    args.push_back(in.audio.string());
    for (const char* a :
         {"-map", "0:v", "-map", "1:a",
          // The same picture, I420 as captured, tagged as Skylark tags it.
          "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "smpte170m",
          // The same encoder settings.
          "-c:v", "libx264", "-preset", o.preset.c_str(), "-tune", "zerolatency", "-thread_type",
          "slice", "-b:v", "6M", "-maxrate", "6M", "-bufsize", "3M", "-g", "8", "-keyint_min", "1",
          "-bf", "0", "-x264-params", "scenecut=0:qcomp=1:cabac=1:deadzone-intra=6", "-forced-idr",
          "1", "-force_key_frames", "expr:gte(t,n_forced*0.25)", "-c:a", "aac", "-b:a", "192k",
          // The same output: fragmented-MP4 HLS, 0.25 s segments.
          "-f", "hls", "-hls_segment_type", "fmp4", "-hls_time", "0.25", "-hls_list_size", "8",
          "-hls_flags", "independent_segments+temp_file", "-hls_fmp4_init_filename", "init.mp4"}) {
        args.push_back(a);
    }
    args.push_back((out / "stream.m3u8").string());

    Run run = runProcess(args);
    std::size_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
        if (entry.path().extension() == ".m4s" || entry.path().extension() == ".mp4") {
            bytes += entry.file_size();
        }
    }
    Result r;
    r.cpuPerMediaSecond = run.cpu_s * kFps / in.frames;
    r.frameMean_ms = run.wall_s * 1000 / in.frames;
    r.peak_MiB = run.peak_MiB;
    r.bitrate_Mbps = static_cast<double>(bytes) * 8 / 1e6 * kFps / in.frames;
    return r;
}

std::string cell(double value, int decimals = 2) {
    if (std::isnan(value)) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

Options parse(int argc, char** argv) {
    Options o;
    auto list = [](const std::string& text) {
        std::vector<std::string> items;
        std::stringstream stream(text);
        for (std::string item; std::getline(stream, item, ',');) {
            items.push_back(item);
        }
        return items;
    };
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--seconds") {
            o.seconds = std::max(1, std::atoi(value.c_str()));
        } else if (key == "--sizes") {
            o.sizes.clear();
            for (const auto& s : list(value)) {
                o.sizes.emplace_back(std::atoi(s.c_str()), std::atoi(s.c_str() + s.find('x') + 1));
            }
        } else if (key == "--presets") {
            o.presets = list(value);
        } else if (key == "--work") {
            o.work = value;
        } else if (key == "--pass") {
            o.pass = value;
        } else if (key == "--preset") {
            o.preset = value;
        } else if (key == "--ffmpeg") {
            o.ffmpeg = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", key.c_str());
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    av_log_set_level(AV_LOG_ERROR);
    if (!o.pass.empty()) {
        Input in = writeInput(o, o.sizes.front().first, o.sizes.front().second);
        Result r = o.pass == "throughput" ? skylarkThroughput(in, o.preset)
                                          : skylarkRealTime(in, o.preset);
        std::printf("%f %f %f %f %f %f %f %d\n", r.frameP50_ms, r.frameP99_ms, r.frameMean_ms,
                    r.bitrate_Mbps, r.delayP50_s, r.delayP99_s, r.delayMax_s, r.refused);
        return 0;
    }
    fs::create_directories(o.work);
    std::printf("%d s of media per run, preset %s, %u CPUs; every run a process of its own\n\n",
                o.seconds, o.preset.c_str(), std::thread::hardware_concurrency());
    for (auto [width, height] : o.sizes) {
        Input in = writeInput(o, width, height);
        Result sky = skylarkPass(o, in, "throughput", o.preset);
        Result cli = commandLine(o, in, false);
        Result skyLive = skylarkPass(o, in, "realtime", o.preset);
        Result cliLive = commandLine(o, in, true);

        std::printf("%dx%d at 30 frames a second\n", width, height);
        std::printf("  %-44s %12s %12s %8s\n", "", "Skylark", "ffmpeg tool", "ratio");
        auto row = [](const char* name, double a, double b, int decimals = 2) {
            std::printf("  %-44s %12s %12s %8s\n", name, cell(a, decimals).c_str(),
                        cell(b, decimals).c_str(),
                        std::isnan(a) || std::isnan(b) ? "" : cell(a / b).c_str());
        };
        row("CPU s per media s, as fast as it goes", sky.cpuPerMediaSecond, cli.cpuPerMediaSecond);
        row("CPU s per media s, in real time", skyLive.cpuPerMediaSecond,
            cliLive.cpuPerMediaSecond);
        row("wall ms per frame, p50", sky.frameP50_ms, NAN);
        row("wall ms per frame, p99", sky.frameP99_ms, NAN);
        row("wall ms per frame, mean", sky.frameMean_ms, cli.frameMean_ms);
        row("peak resident MiB, as fast as it goes", sky.peak_MiB, cli.peak_MiB, 0);
        row("peak resident MiB, in real time", skyLive.peak_MiB, cliLive.peak_MiB, 0);
        row("stream Mbit/s (video + audio + boxes)", sky.bitrate_Mbps, cli.bitrate_Mbps);
        row("append-to-delivery delay s, p50", skyLive.delayP50_s, NAN, 3);
        row("append-to-delivery delay s, p99", skyLive.delayP99_s, NAN, 3);
        row("append-to-delivery delay s, max", skyLive.delayMax_s, NAN, 3);
        std::printf("  %-44s %12d\n\n", "frames refused (encoder behind), real time",
                    skyLive.refused);
        for (const auto& preset : o.presets) {
            Result other = skylarkPass(o, in, "throughput", preset);
            std::printf(
                "  preset %-10s CPU s per media s %s, wall ms per frame p50 %s p99 %s, "
                "%s Mbit/s\n",
                preset.c_str(), cell(other.cpuPerMediaSecond).c_str(),
                cell(other.frameP50_ms).c_str(), cell(other.frameP99_ms).c_str(),
                cell(other.bitrate_Mbps).c_str());
        }
        if (!o.presets.empty()) {
            std::printf("\n");
        }
        close(in.videoFile);
        close(in.audioFile);
    }
    return 0;
}
