// Pairs each decoded frame of a cast with the lossless grab of the state it shows, and measures
// it: luma SSIM (8x8 windows every 4 pixels, as x264 and the ffmpeg tool compute it) and PSNR,
// over the rows above the stamp strip.
//
//   skylark_quality_compare <reference folder> < frames
//
// Standard input: 1920x1080 8-bit luma frames, in presentation order. Standard output, a line a
// frame: "<index> <state> <ssim> <psnr dB>", or "<index> unreadable" when the frame's stamp does
// not decode (or names a state with no grab). Each grab's own stamp must decode to its state.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kMeasuredRows = 1040;  // above the stamp strip, a multiple of 8
constexpr int kStampTop = 1048;
constexpr int kStampBlock = 16;
constexpr int kStampBits = 12;

using Luma = std::vector<std::uint8_t>;

bool bright(const Luma& f, int block) {
    const int x0 = 8 + block * kStampBlock + 6, y0 = kStampTop + 8 + 6;
    int sum = 0;
    for (int y = y0; y < y0 + 4; ++y) {
        for (int x = x0; x < x0 + 4; ++x) {
            sum += f[static_cast<std::size_t>(y) * kWidth + x];
        }
    }
    return sum > 16 * 128;
}

std::optional<int> stamp(const Luma& f) {
    if (!bright(f, 0)) {
        return std::nullopt;
    }
    int code = 0;
    for (int bit = 0; bit < 2 * kStampBits; ++bit) {
        code |= bright(f, bit + 1) ? 1 << bit : 0;
    }
    const int mask = (1 << kStampBits) - 1;
    const int state = code & mask;
    if ((code >> kStampBits) != (~state & mask)) {
        return std::nullopt;
    }
    return state;
}

double ssim(const Luma& a, const Luma& b) {
    // Sums over 4x4 blocks, then windows of 2x2 blocks.
    constexpr int bw = kWidth / 4, bh = kMeasuredRows / 4;
    struct Sums {
        double s1 = 0, s2 = 0, ss = 0, s12 = 0;
    };
    std::vector<Sums> blocks(static_cast<std::size_t>(bw) * bh);
    for (int y = 0; y < kMeasuredRows; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
            const double p = a[i], q = b[i];
            Sums& s = blocks[static_cast<std::size_t>(y / 4) * bw + x / 4];
            s.s1 += p;
            s.s2 += q;
            s.ss += p * p + q * q;
            s.s12 += p * q;
        }
    }
    const double c1 = .01 * .01 * 255 * 255 * 64, c2 = .03 * .03 * 255 * 255 * 64 * 63;
    double total = 0;
    for (int y = 0; y + 1 < bh; ++y) {
        for (int x = 0; x + 1 < bw; ++x) {
            Sums w;
            for (const auto& s : {blocks[y * bw + x], blocks[y * bw + x + 1],
                                  blocks[(y + 1) * bw + x], blocks[(y + 1) * bw + x + 1]}) {
                w.s1 += s.s1;
                w.s2 += s.s2;
                w.ss += s.ss;
                w.s12 += s.s12;
            }
            const double vars = w.ss * 64 - w.s1 * w.s1 - w.s2 * w.s2;
            const double covar = w.s12 * 64 - w.s1 * w.s2;
            total += (2 * w.s1 * w.s2 + c1) * (2 * covar + c2) /
                     ((w.s1 * w.s1 + w.s2 * w.s2 + c1) * (vars + c2));
        }
    }
    return total / ((bw - 1) * (bh - 1));
}

double psnr(const Luma& a, const Luma& b) {
    double squares = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kWidth) * kMeasuredRows; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        squares += d * d;
    }
    const double mse = squares / (static_cast<double>(kWidth) * kMeasuredRows);
    return mse == 0 ? 100 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: skylark_quality_compare <reference folder> < frames\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::map<int, Luma> references;
    Luma frame(static_cast<std::size_t>(kWidth) * kHeight);
    for (int index = 0; std::fread(frame.data(), 1, frame.size(), stdin) == frame.size(); ++index) {
        const std::optional<int> state = stamp(frame);
        if (state && !references.contains(*state)) {
            std::ifstream in(folder / (std::to_string(*state) + ".y"), std::ios::binary);
            Luma grab((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (grab.size() == frame.size()) {
                if (stamp(grab) != state) {
                    std::fprintf(stderr, "skylark_quality_compare: grab %d has another stamp\n",
                                 *state);
                    return 1;
                }
                references.emplace(*state, std::move(grab));
            }
        }
        const auto reference = state ? references.find(*state) : references.end();
        if (reference == references.end()) {
            std::printf("%d unreadable\n", index);
            continue;
        }
        std::printf("%d %d %.5f %.3f\n", index, *state, ssim(reference->second, frame),
                    psnr(reference->second, frame));
    }
    return 0;
}
