// Cost of Skylark's X11 display capture per frame, side by side with the ffmpeg command-line
// tool's x11grab doing the same job: grab the screen of an Xvfb server through shared memory
// and deliver I420 pictures of 1920 pixels wide (1920x1080 as it is; 3840x2160 scaled down).
//
//   bench_x11_capture [--seconds N] [--ffmpeg PATH]
//
// For each screen size it starts its own Xvfb (private display number, ended by PID), covers
// the screen with a detailed picture, and measures each side
//   paced      30 frames a second for N seconds, as a cast runs: CPU milliseconds per frame of
//              the capturing process and of the X server (which copies the pixels);
//   flat out   as many frames as it can in N seconds: frames a second, CPU per frame.
// Skylark runs in this process (the capture thread of FramePump, frames dropped on arrival);
// the tool runs as a child process (-f x11grab ... -vf scale=1920:-2 -pix_fmt yuv420p -f null),
// its CPU taken from wait4. The X server's CPU comes from /proc for both alike.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/frames/picture_pool.hpp"
#include "platform/frames/yuv_drawer.hpp"
#include "platform/x11/frame_pump.hpp"
#include "platform/x11/frame_source.hpp"
#include "platform/x11/x11_desktop.hpp"

extern char** environ;

namespace {

using namespace skylark;
using Clock = std::chrono::steady_clock;

double cpuSeconds(const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double selfCpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuSeconds(r);
}

// CPU seconds a process has used so far, from /proc/<pid>/stat.
double processCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {
        fields >> skip;
    }
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

pid_t spawn(const std::vector<std::string>& args, const char* errPath = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// An Xvfb of its own, with a detailed picture over the whole screen (a gradient under a grid
// of coloured text-sized cells) so that scaling works on real content.
class Screen {
  public:
    Screen(unsigned width, unsigned height) : width_(width), height_(height) {
        for (unsigned n = 600 + unsigned(getpid()) % 300; n < 1000; ++n) {
            if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
                continue;
            }
            display_ = ":" + std::to_string(n);
            pid_ = spawn({"Xvfb", display_, "-screen", "0",
                          std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten",
                          "tcp", "-noreset"});
            for (int i = 0; i < 500; ++i) {
                conn_ = xcb_connect(display_.c_str(), nullptr);
                if (xcb_connection_has_error(conn_) == 0) {
                    paint();
                    return;
                }
                xcb_disconnect(conn_);
                conn_ = nullptr;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            stop();
        }
        std::fprintf(stderr, "Xvfb did not start\n");
        std::exit(1);
    }
    ~Screen() { stop(); }

    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }

  private:
    void paint() {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data;
        const xcb_pixmap_t pixmap = xcb_generate_id(conn_);
        xcb_create_pixmap(conn_, 24, pixmap, screen->root, uint16_t(width_), uint16_t(height_));
        const xcb_gcontext_t gc = xcb_generate_id(conn_);
        xcb_create_gc(conn_, gc, pixmap, 0, nullptr);
        const unsigned strip = 32;
        std::vector<uint32_t> rows(size_t{width_} * strip);
        for (unsigned y0 = 0; y0 < height_; y0 += strip) {
            for (unsigned y = 0; y < strip; ++y) {
                for (unsigned x = 0; x < width_; ++x) {
                    const unsigned gy = y0 + y;
                    uint32_t px = (x * 255 / width_) << 16 | (gy * 255 / height_) << 8 | 0x60;
                    if ((x / 9 + gy / 14) % 3 == 0 && (x % 9) < 6 && (gy % 14) < 10) {
                        px = ((x * 37 + gy * 11) & 0xff) << 16 | ((x ^ gy) & 0xff) << 8 | 0x20;
                    }
                    rows[size_t{y} * width_ + x] = px;
                }
            }
            xcb_put_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, uint16_t(width_),
                          uint16_t(strip), 0, int16_t(y0), 0, 24, uint32_t(rows.size() * 4),
                          reinterpret_cast<uint8_t*>(rows.data()));
        }
        xcb_change_window_attributes(conn_, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
        xcb_clear_area(conn_, 0, screen->root, 0, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
    }

    void stop() {
        if (conn_ != nullptr) {
            xcb_disconnect(conn_);
            conn_ = nullptr;
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    unsigned width_, height_;
    std::string display_;
    pid_t pid_ = -1;
    xcb_connection_t* conn_ = nullptr;
};

struct Result {
    double framesPerSecond = 0;
    double cpuMsPerFrame = 0;     // the capturing process
    double serverMsPerFrame = 0;  // the X server
};

std::unique_ptr<x11::FrameSource> openScreen(const Screen& screen) {
    std::string error;
    auto conn = x11::Connection::open(screen.display(), error);
    auto source = conn ? x11::openDisplaySource(screen.display(),
                                                x11::listMonitors(*conn).front().name, error)
                       : nullptr;
    if (!source) {
        std::fprintf(stderr, "cannot capture: %s\n", error.c_str());
        std::exit(1);
    }
    return source;
}

Result skylarkPaced(const Screen& screen, uint32_t w, uint32_t h, double seconds) {
    std::atomic<uint64_t> frames{0};
    x11::FramePump pump(
        openScreen(screen), {w, h}, [&](x11::CapturedFrame) { frames.fetch_add(1); }, nullptr);
    const double cpu0 = selfCpu(), server0 = processCpu(screen.pid());
    const auto t0 = Clock::now();
    std::string error;
    pump.start(error);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    pump.stop();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double n = double(frames.load());
    return {n / wall, (selfCpu() - cpu0) * 1e3 / n, (processCpu(screen.pid()) - server0) * 1e3 / n};
}

Result skylarkFlatOut(const Screen& screen, uint32_t w, uint32_t h, double seconds) {
    auto source = openScreen(screen);
    // As the capture thread draws, into pooled pictures; no damage is known, so every grab is
    // converted whole.
    frames::YuvDrawer drawer(w, h);
    auto pool = frames::YuvPicturePool::create(w, h, 3);
    const double cpu0 = selfCpu(), server0 = processCpu(screen.pid());
    const auto t0 = Clock::now();
    uint64_t n = 0;
    while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
        x11::FrameSource::Grab grab = source->grab();
        if (grab.status == x11::FrameSource::Status::ok) {
            drawer.draw(grab.pixels, nullptr, pool->acquire());
            ++n;
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return {double(n) / wall, (selfCpu() - cpu0) * 1e3 / double(n),
            (processCpu(screen.pid()) - server0) * 1e3 / double(n)};
}

// `convert`: scale to 1920 wide I420 as Skylark delivers; otherwise the grabbed frames go to
// the null muxer as they are (the tool's floor: grabbing alone).
Result ffmpegRun(const std::string& ffmpeg, const Screen& screen, unsigned sw, unsigned sh,
                 int framerate, double seconds, bool convert) {
    const std::string log = "/tmp/skylark-bench-x11-ffmpeg-" + std::to_string(getpid()) + ".log";
    const double server0 = processCpu(screen.pid());
    const auto t0 = Clock::now();
    std::vector<std::string> args = {ffmpeg,
                                     "-hide_banner",
                                     "-nostdin",
                                     "-f",
                                     "x11grab",
                                     "-framerate",
                                     std::to_string(framerate),
                                     "-video_size",
                                     std::to_string(sw) + "x" + std::to_string(sh),
                                     "-i",
                                     screen.display(),
                                     "-t",
                                     std::to_string(seconds)};
    if (convert) {
        args.insert(args.end(), {"-vf", "scale=1920:-2:flags=bilinear", "-pix_fmt", "yuv420p"});
    }
    args.insert(args.end(), {"-f", "null", "-"});
    const pid_t pid = spawn(args, log.c_str());
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double server = processCpu(screen.pid()) - server0;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::filesystem::remove(log);
    double frames = 0;
    const std::regex frameCount(R"(frame=\s*(\d+))");
    const std::string all = text.str();
    for (auto it = std::sregex_iterator(all.begin(), all.end(), frameCount);
         it != std::sregex_iterator(); ++it) {
        frames = std::stod((*it)[1]);
    }
    if (frames == 0) {
        std::fprintf(stderr, "ffmpeg reported no frames:\n%s\n", all.c_str());
        return {};
    }
    // The tool's own start-up (probing, filter graph) counts against it as it would in use.
    return {frames / wall, cpuSeconds(usage) * 1e3 / frames, server * 1e3 / frames};
}

void row(const char* who, const char* mode, const Result& r) {
    std::printf("  %-8s %-9s %8.1f fps %9.2f ms CPU/frame %9.2f ms X server/frame %9.2f total\n",
                who, mode, r.framesPerSecond, r.cpuMsPerFrame, r.serverMsPerFrame,
                r.cpuMsPerFrame + r.serverMsPerFrame);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    std::string ffmpeg = "ffmpeg";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--ffmpeg") == 0) {
            ffmpeg = argv[i + 1];
        }
    }
    struct Case {
        unsigned width, height;
    };
    for (const Case c : {Case{1920, 1080}, Case{3840, 2160}}) {
        const uint32_t w = 1920, h = c.height * 1920 / c.width;
        std::printf("%ux%u screen -> %ux%u I420, %.0f s per run\n", c.width, c.height, w, h,
                    seconds);
        Screen screen(c.width, c.height);
        const Result sp = skylarkPaced(screen, w, h, seconds);
        const Result fp = ffmpegRun(ffmpeg, screen, c.width, c.height, 30, seconds, true);
        const Result fg = ffmpegRun(ffmpeg, screen, c.width, c.height, 30, seconds, false);
        const Result sf = skylarkFlatOut(screen, w, h, seconds);
        const Result ff = ffmpegRun(ffmpeg, screen, c.width, c.height, 1000, seconds, true);
        row("skylark", "30 fps", sp);
        row("ffmpeg", "30 fps", fp);
        row("ffmpeg*", "30 fps", fg);
        row("skylark", "flat out", sf);
        row("ffmpeg", "flat out", ff);
        std::printf("  (ffmpeg*: grab only, no conversion to 1920-wide I420)\n");
        const double skylark = sp.cpuMsPerFrame + sp.serverMsPerFrame;
        std::printf(
            "  CPU per frame at 30 fps, capture process + X server: skylark/ffmpeg = %.2f, "
            "skylark/ffmpeg* = %.2f\n\n",
            skylark / (fp.cpuMsPerFrame + fp.serverMsPerFrame),
            skylark / (fg.cpuMsPerFrame + fg.serverMsPerFrame));
        std::fflush(stdout);
    }
    return 0;
}
