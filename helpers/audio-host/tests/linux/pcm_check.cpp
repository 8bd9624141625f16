// Checks a captured PCM stream (mono s16le, 48000 Hz) with Goertzel filters over 100 ms blocks:
//   tamsel_pcm_check FILE --tone F:A [--tone F:A ...] [--absent F ...] [--min-ms N] [--skip-ms N]
// The first --tone is the dominant frequency (the strongest 10 Hz bin between 50 Hz and 8 kHz);
// every tone's amplitude (a fraction of full scale) must lie within 12 % of A, every absent
// frequency below 1 % of full scale. The values are the medians over the blocks. Exit 0 when
// everything holds; the measured values are printed either way.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int RATE = 48000;
constexpr std::size_t BLOCK = 4800;  // 100 ms: every multiple of 10 Hz is an exact bin

double goertzel_amplitude(const std::vector<double>& x, std::size_t begin, double freq) {
    const double w = 2.0 * M_PI * freq / RATE;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < BLOCK; ++i) {
        const double s0 = x[begin + i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(BLOCK);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tamsel_pcm_check FILE --tone F:A [--absent F] [--min-ms N] [--skip-ms N]\n");
        return 2;
    }
    std::vector<std::pair<double, double>> tones;
    std::vector<double> absent;
    long min_ms = 1000, skip_ms = 100;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char* value = argv[i + 1];
        if (flag == "--tone") {
            const char* colon = std::strchr(value, ':');
            if (colon == nullptr) return 2;
            tones.emplace_back(std::atof(value), std::atof(colon + 1));
        } else if (flag == "--absent") {
            absent.push_back(std::atof(value));
        } else if (flag == "--min-ms") {
            min_ms = std::atol(value);
        } else if (flag == "--skip-ms") {
            skip_ms = std::atol(value);
        } else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool good = true;
    std::printf("bytes=%zu chunks=%zu\n", bytes.size(), bytes.size() / 1920);
    if (bytes.size() % 1920 != 0) {
        std::printf("FAIL: not a whole number of 1920-byte chunks\n");
        good = false;
    }
    const std::size_t samples = bytes.size() / 2;
    if (samples < static_cast<std::size_t>(min_ms) * RATE / 1000) {
        std::printf("FAIL: only %zu ms of audio, expected at least %ld ms\n", samples * 1000 / RATE, min_ms);
        return 1;
    }
    std::vector<double> x(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        std::int16_t v = 0;
        std::memcpy(&v, bytes.data() + 2 * i, 2);
        x[i] = v / 32767.0;
    }
    const std::size_t skip = static_cast<std::size_t>(skip_ms) * RATE / 1000;
    std::vector<std::size_t> blocks;
    for (std::size_t b = skip; b + BLOCK <= samples; b += BLOCK) blocks.push_back(b);
    if (blocks.empty()) {
        std::printf("FAIL: no whole block after the skipped start\n");
        return 1;
    }
    auto measure = [&](double freq) {
        std::vector<double> values;
        for (const std::size_t b : blocks) values.push_back(goertzel_amplitude(x, b, freq));
        return median(values);
    };
    if (!tones.empty()) {
        double best = 0, best_freq = 0;
        for (double f = 50; f <= 8000; f += 10) {
            const double a = measure(f);
            if (a > best) {
                best = a;
                best_freq = f;
            }
        }
        std::printf("dominant=%.0f Hz amplitude=%.4f\n", best_freq, best);
        if (std::fabs(best_freq - tones.front().first) > 0.5) {
            std::printf("FAIL: dominant frequency %.0f Hz, expected %.0f Hz\n", best_freq, tones.front().first);
            good = false;
        }
    }
    for (const auto& [freq, amplitude] : tones) {
        const double a = measure(freq);
        std::printf("tone %.0f Hz amplitude=%.4f expected=%.4f\n", freq, a, amplitude);
        if (std::fabs(a - amplitude) > 0.12 * amplitude) {
            std::printf("FAIL: amplitude at %.0f Hz off by more than 12 %%\n", freq);
            good = false;
        }
    }
    for (const double freq : absent) {
        const double a = measure(freq);
        std::printf("absent %.0f Hz amplitude=%.5f\n", freq, a);
        if (a > 0.01) {
            std::printf("FAIL: %.0f Hz present\n", freq);
            good = false;
        }
    }
    return good ? 0 : 1;
}
