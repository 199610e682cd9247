// The picture-quality bench's screens, at 1920x1080:
//
//   still    a page of dense 10-12 px text (four columns: sans, serif, monospace, bold headings)
//   scroll   the same kind of text moving up one line every 100 ms
//   motion   a photo-like picture twice the screen's width sliding 12 px every 1/30 s
//
//   skylark_quality_scene show <scene>
//       draws the scene's first state on $DISPLAY, prints "state 0 <monotonic ns>", and on a
//       line of standard input starts the scene's clock, printing the same for each state drawn;
//       runs until killed
//   skylark_quality_scene grab <scene> <folder> <count>
//       draws the first <count> states one after another and grabs each losslessly from the
//       screen, writing its luma (BT.601, limited range, as the casts convert) to
//       <folder>/<state>.y: the references, grabbed apart from the casts so their cost is left
//       out of the casts' measurement
//   skylark_quality_scene frames <scene> <count>
//       writes <count> frames of the scene at 30 a second to standard output as BGRA, for
//       encoding offline
//
// Every state carries its number in the bottom strip (rows kStampTop and below, left out of
// the measurement), as a white start block and kStampBits blocks of 16 px: the number, then
// its complement, so a misread is caught rather than paired with the wrong reference.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <xcb/xcb.h>

#include "common/monotonic.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kStampTop = 1048;  // the bench measures rows above this
constexpr int kStampBlock = 16;
constexpr int kStampBits = 12;
constexpr int kLine = 13;           // the scrolling text's line pitch
constexpr int kScrollStates = 300;  // 30 s
constexpr int kMotionStates = 900;  // 30 s
using skylark::bench::kSecondNs;

using skylark::bench::nowNs, skylark::bench::sleepUntil;

// Words with the shapes of prose and code: short and long, capitals, digits, punctuation.
std::string words(std::mt19937& random, int characters) {
    static const char* const kWords[] = {
        "the",         "screen",      "encoder", "segment", "frame",     "return", "const",
        "std::size_t", "HTTP/1.1",    "width",   "height",  "0x7f3a",    "Figure", "quarter",
        "second",      "bitrate_bps", "if",      "else",    "{",         "}",      "(i + 1)",
        "television",  "is",          "sharp",   "Quality", "mean",      "p5",     "=",
        "42.7%",       "playlist",    "of",      "and",     "while",     "struct", "reader",
        "buffer",      "MIT-SHM",     "x264",    "->",      "1920x1080",
    };
    std::uniform_int_distribution<std::size_t> pick(0, std::size(kWords) - 1);
    std::string line;
    while (static_cast<int>(line.size()) < characters) {
        line += kWords[pick(random)];
        line += ' ';
    }
    return line;
}

// A page of text in four columns, `height` pixels high: paragraphs of ragged lines with a blank
// line between them, as documents and code look.
QImage textPage(int height) {
    QImage page(kWidth, height, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter p(&page);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> length(24, 68), paragraph(3, 9);
    const QFont fonts[] = {QFont("DejaVu Sans"), QFont("DejaVu Serif"), QFont("DejaVu Sans Mono"),
                           QFont("DejaVu Sans")};
    const int sizes_px[] = {11, 12, 10, 11};
    const int columnWidth = kWidth / 4;
    for (int column = 0; column < 4; ++column) {
        QFont font = fonts[column];
        font.setPixelSize(sizes_px[column]);
        int left = 0;
        for (int y = kLine; y < height; y += kLine) {
            const bool heading = column == 3 && left == 0;
            if (left == 0) {
                left = paragraph(random);
                if (!heading) {
                    continue;
                }
            }
            --left;
            font.setBold(heading);
            p.setFont(font);
            p.setPen(heading ? QColor(20, 40, 120) : QColor(25, 25, 25));
            p.drawText(column * columnWidth + 12, y,
                       words(random, std::min(length(random), column == 2 ? 64 : 68)).c_str());
        }
    }
    return page;
}

// Smooth shapes over gradients with fine grain, like a photograph, twice the screen's width.
QImage photo() {
    QImage image(2 * kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0, QColor(70, 120, 190));
    sky.setColorAt(1, QColor(230, 200, 150));
    p.fillRect(image.rect(), sky);
    std::mt19937 random(11);
    std::uniform_int_distribution<int> x(0, 2 * kWidth), y(0, kHeight), r(30, 260), c(0, 255);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 160; ++i) {
        const QPointF centre(x(random), y(random));
        QRadialGradient blob(centre, r(random));
        blob.setColorAt(0, QColor(c(random), c(random), c(random), 230));
        blob.setColorAt(1, QColor(c(random), c(random), c(random), 0));
        p.setBrush(blob);
        p.drawEllipse(centre, blob.radius(), blob.radius());
    }
    p.end();
    std::normal_distribution<double> grain(0, 6);
    for (int row = 0; row < kHeight; ++row) {
        auto* pixel = reinterpret_cast<QRgb*>(image.scanLine(row));
        for (int col = 0; col < 2 * kWidth; ++col) {
            const int n = static_cast<int>(grain(random));
            pixel[col] = qRgb(std::clamp(qRed(pixel[col]) + n, 0, 255),
                              std::clamp(qGreen(pixel[col]) + n, 0, 255),
                              std::clamp(qBlue(pixel[col]) + n, 0, 255));
        }
    }
    return image;
}

struct Scene {
    QImage source;
    std::int64_t period_ns;  // between states; 0 for a still screen
    int states;

    // The screen showing `state`, its number stamped at the bottom.
    QImage draw(int state) const {
        QImage screen(kWidth, kHeight, QImage::Format_RGB32);
        QPainter p(&screen);
        if (source.width() > kWidth) {
            const int shift = state * 12 % (source.width() - kWidth);
            p.drawImage(0, 0, source, shift, 0, kWidth, kHeight);
        } else {
            p.drawImage(0, 0, source, 0, state * kLine, kWidth, kHeight);
        }
        p.fillRect(0, kStampTop, kWidth, kHeight - kStampTop, Qt::black);
        const int code = state | ((~state & ((1 << kStampBits) - 1)) << kStampBits);
        for (int bit = -1; bit < 2 * kStampBits; ++bit) {
            if (bit < 0 || (code >> bit & 1)) {
                p.fillRect(8 + (bit + 1) * kStampBlock, kStampTop + 8, kStampBlock, kStampBlock,
                           Qt::white);
            }
        }
        return screen;
    }
};

Scene makeScene(const std::string& name) {
    if (name == "still") {
        return {textPage(kHeight), 0, 1};
    }
    if (name == "scroll") {
        return {textPage(kHeight + kScrollStates * kLine), kSecondNs / 10, kScrollStates};
    }
    if (name == "motion") {
        return {photo(), kSecondNs / 30, kMotionStates};
    }
    std::fprintf(stderr, "skylark_quality_scene: no scene named '%s'\n", name.c_str());
    std::exit(2);
}

int frames(const Scene& scene, int count) {
    const std::int64_t frame_ns = kSecondNs / 30;
    for (int i = 0; i < count; ++i) {
        const int state =
            scene.period_ns == 0
                ? 0
                : std::min(scene.states - 1, static_cast<int>(i * frame_ns / scene.period_ns));
        const QImage screen = scene.draw(state);
        std::fwrite(screen.constBits(), 1, static_cast<std::size_t>(screen.sizeInBytes()), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

bool sync(xcb_connection_t* c) {
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return !xcb_connection_has_error(c);
}

// An override-redirect window over the whole screen whose background is the pixmap each state
// is drawn into: one ClearArea puts a state on screen whole (no grab sees half of one state and
// half of the next), and the server repaints it by itself wherever a dialog uncovers it.
class Window {
  public:
    Window() : c_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(c_)) {
            std::fprintf(stderr, "skylark_quality_scene: cannot open the display\n");
            std::exit(1);
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        if (screen_->width_in_pixels != kWidth || screen_->height_in_pixels != kHeight ||
            screen_->root_depth != 24) {
            std::fprintf(stderr, "skylark_quality_scene: the screen must be %dx%dx24\n", kWidth,
                         kHeight);
            std::exit(1);
        }
        window_ = xcb_generate_id(c_);
        pixmap_ = xcb_generate_id(c_);
        xcb_create_pixmap(c_, 24, pixmap_, screen_->root, kWidth, kHeight);
        gc_ = xcb_generate_id(c_);
        xcb_create_gc(c_, gc_, pixmap_, 0, nullptr);
        const std::uint32_t values[] = {pixmap_, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0, kWidth, kHeight,
                          0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window_);
        // The cast draws the pointer; park it on the stamp strip, outside the measured rows.
        xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, kWidth - 1, kHeight - 1);
    }

    bool show(const QImage& picture) {
        const std::size_t maxBytes = xcb_get_maximum_request_length(c_) * 4u - 64;
        const int rowsPerPut = static_cast<int>(maxBytes / (kWidth * 4));
        for (int y = 0; y < kHeight; y += rowsPerPut) {
            const int rows = std::min(rowsPerPut, kHeight - y);
            xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, gc_, kWidth, rows, 0, y, 0, 24,
                          static_cast<std::uint32_t>(kWidth * rows * 4), picture.constScanLine(y));
        }
        xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
        return sync(c_);
    }

    // The screen as the casts take it, reduced to the luma they encode.
    bool grabLuma(std::vector<std::uint8_t>& luma) {
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            c_,
            xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0, kWidth, kHeight, ~0u),
            nullptr);
        if (reply == nullptr) {
            return false;
        }
        const std::uint8_t* bgra = xcb_get_image_data(reply);
        luma.resize(static_cast<std::size_t>(kWidth) * kHeight);
        for (std::size_t i = 0; i < luma.size(); ++i) {
            const int b = bgra[4 * i], g = bgra[4 * i + 1], r = bgra[4 * i + 2];
            luma[i] = static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        }
        free(reply);
        return true;
    }

    bool alive() { return sync(c_); }

  private:
    xcb_connection_t* c_;
    xcb_screen_t* screen_;
    xcb_window_t window_;
    xcb_pixmap_t pixmap_;
    xcb_gcontext_t gc_;
};

int grab(const Scene& scene, const std::filesystem::path& folder, int count) {
    Window window;
    std::vector<std::uint8_t> luma;
    for (int state = 0; state < std::min(count, scene.states); ++state) {
        if (!window.show(scene.draw(state)) || !window.grabLuma(luma)) {
            return 1;
        }
        std::ofstream(folder / (std::to_string(state) + ".y"), std::ios::binary)
            .write(reinterpret_cast<const char*>(luma.data()),
                   static_cast<std::streamsize>(luma.size()));
    }
    return 0;
}

int show(const Scene& scene) {
    Window window;
    if (!window.show(scene.draw(0))) {
        return 0;
    }
    std::printf("state 0 %lld\n", static_cast<long long>(nowNs()));
    std::fflush(stdout);
    char go[8];
    if (scene.period_ns > 0 && std::fgets(go, sizeof go, stdin) != nullptr) {
        const std::int64_t start = nowNs();
        for (int state = 1; state < scene.states; ++state) {
            sleepUntil(start + state * scene.period_ns);
            if (!window.show(scene.draw(state))) {
                return 0;
            }
            std::printf("state %d %lld\n", state, static_cast<long long>(nowNs()));
            std::fflush(stdout);
        }
    }
    while (window.alive()) {
        sleepUntil(nowNs() + kSecondNs);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 3 ? argv[1] : "";
    if (!(mode == "show" && argc == 3) && !(mode == "frames" && argc == 4) &&
        !(mode == "grab" && argc == 5)) {
        std::fprintf(stderr,
                     "usage: skylark_quality_scene show <scene> | frames <scene> <count> | "
                     "grab <scene> <folder> <count>\n");
        return 2;
    }
    // Qt only draws into images here; it needs no display for that.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const Scene scene = makeScene(argv[2]);
    if (mode == "grab") {
        return grab(scene, argv[3], std::atoi(argv[4]));
    }
    return mode == "show" ? show(scene) : frames(scene, std::atoi(argv[3]));
}
