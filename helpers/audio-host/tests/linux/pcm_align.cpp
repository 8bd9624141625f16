// Compares a captured PCM stream with the audio that was played (both mono s16le, 48000 Hz):
//   tamsel_pcm_align REFERENCE CAPTURE [--max-start-loss-ms N] [--min-snr-db D] [--max-end-loss-ms N]
// It finds the offset at which the capture matches the reference best (cross-correlation through
// an FFT), then walks the reference's sound in 10 ms blocks:
//   - onset: the first reference sample above 1 % of full scale (the sound begins);
//   - start loss: from the onset to the first sounding reference block that the capture holds
//     faithfully (block SNR of at least 20 dB at the fitted gain); what the capture never had;
//   - end loss: from the last such block to the end of the reference's sound;
//   - gain and SNR: least-squares gain of capture over reference and the signal-to-residual
//     ratio over everything from the first to the last held block, so holes, clicks or a second
//     copy inside the stream count against it.
// Prints one line "offset_samples=... gain=... snr_db=... start_loss_ms=... end_loss_ms=..."
// and exits 0 when every given bound holds, 1 when one does not, 2 on a usage error.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr double RATE = 48000.0;
constexpr std::size_t BLOCK = 480;  // 10 ms
constexpr double SOUND_LEVEL = 0.01;
constexpr double BLOCK_SNR_DB = 20.0;

std::vector<double> read_pcm(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tamsel_pcm_align: cannot read %s\n", path);
        std::exit(2);
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<double> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::int16_t v = 0;
        std::memcpy(&v, bytes.data() + 2 * i, 2);
        samples[i] = v / 32768.0;
    }
    return samples;
}

// In-place iterative radix-2 FFT; `inverse` leaves the result unscaled.
void fft(std::vector<std::complex<double>>& a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = 2.0 * M_PI / static_cast<double>(len) * (inverse ? 1.0 : -1.0);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0, 0.0);
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[i + k];
                const std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

// The lag L at which capture[n] best matches reference[n - L] (L may be negative: the capture
// starts inside the reference).
long best_lag(const std::vector<double>& reference, const std::vector<double>& capture) {
    std::size_t n = 1;
    while (n < reference.size() + capture.size()) n <<= 1;
    std::vector<std::complex<double>> c(n), r(n);
    std::copy(capture.begin(), capture.end(), c.begin());
    std::copy(reference.begin(), reference.end(), r.begin());
    fft(c, false);
    fft(r, false);
    for (std::size_t i = 0; i < n; ++i) c[i] *= std::conj(r[i]);
    fft(c, true);
    long best = 0;
    double best_value = -1.0;
    for (std::size_t i = 0; i < n; ++i) {
        const long lag = i < capture.size() ? static_cast<long>(i) : static_cast<long>(i) - static_cast<long>(n);
        if (lag < -static_cast<long>(reference.size()) || lag >= static_cast<long>(capture.size())) continue;
        if (c[i].real() > best_value) {
            best_value = c[i].real();
            best = lag;
        }
    }
    return best;
}

double ms(std::size_t samples) { return static_cast<double>(samples) * 1000.0 / RATE; }

double to_db(double signal, double noise) {
    if (noise <= 0.0) return 200.0;
    if (signal <= 0.0) return -200.0;
    return 10.0 * std::log10(signal / noise);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tamsel_pcm_align REFERENCE CAPTURE [--max-start-loss-ms N] [--min-snr-db D] "
                             "[--max-end-loss-ms N]\n");
        return 2;
    }
    double max_start_loss_ms = -1, min_snr_db = -1, max_end_loss_ms = -1;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (flag == "--max-start-loss-ms") max_start_loss_ms = value;
        else if (flag == "--min-snr-db") min_snr_db = value;
        else if (flag == "--max-end-loss-ms") max_end_loss_ms = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    const std::vector<double> reference = read_pcm(argv[1]);
    const std::vector<double> capture = read_pcm(argv[2]);
    const auto loud = [](double v) { return std::fabs(v) > SOUND_LEVEL; };
    const auto onset_it = std::find_if(reference.begin(), reference.end(), loud);
    if (onset_it == reference.end()) {
        std::fprintf(stderr, "tamsel_pcm_align: the reference holds no sound\n");
        return 2;
    }
    const auto onset = static_cast<std::size_t>(onset_it - reference.begin());
    const auto sound_end = static_cast<std::size_t>(std::find_if(reference.rbegin(), reference.rend(), loud).base() -
                                                    reference.begin());
    if (capture.empty()) {
        std::printf("offset_samples=0 gain=0 snr_db=-200 start_loss_ms=%.1f end_loss_ms=0 (empty capture)\n",
                    ms(sound_end - onset));
        return 1;
    }
    const long lag = best_lag(reference, capture);
    const auto covered = [&](std::size_t i) {
        const long k = static_cast<long>(i) + lag;
        return k >= 0 && k < static_cast<long>(capture.size());
    };
    // The capture sample aligned with reference sample i, or 0 where the capture has none.
    const auto captured = [&](std::size_t i) {
        return covered(i) ? capture[static_cast<std::size_t>(static_cast<long>(i) + lag)] : 0.0;
    };
    // Least-squares gain over [begin, end), and the signal and residual energies at that gain.
    struct Fit {
        double gain = 0, signal = 0, noise = 0;
    };
    const auto fit = [&](std::size_t begin, std::size_t end, double gain) {
        Fit f{gain, 0, 0};
        for (std::size_t i = begin; i < end; ++i) {
            const double expected = gain * reference[i];
            f.signal += expected * expected;
            f.noise += (captured(i) - expected) * (captured(i) - expected);
        }
        return f;
    };
    const auto least_squares_gain = [&](std::size_t begin, std::size_t end) {
        double cross = 0, power = 0;
        for (std::size_t i = begin; i < end; ++i) {
            if (!covered(i)) continue;
            cross += captured(i) * reference[i];
            power += reference[i] * reference[i];
        }
        return power > 0 ? cross / power : 0.0;
    };

    // A first gain over everything both cover finds the blocks the capture holds; the final gain
    // and SNR come from the stretch between the first and the last held block.
    std::size_t first_held = sound_end, last_held = onset;
    const double rough_gain = least_squares_gain(onset, sound_end);
    for (std::size_t b = onset; b < sound_end; b += BLOCK) {
        const std::size_t end = std::min(b + BLOCK, sound_end);
        const Fit block = fit(b, end, rough_gain);
        if (block.signal < static_cast<double>(end - b) * SOUND_LEVEL * SOUND_LEVEL * 0.01) continue;  // a pause
        if (to_db(block.signal, block.noise) < BLOCK_SNR_DB) continue;
        first_held = std::min(first_held, b);
        last_held = std::max(last_held, end);
    }
    const Fit held = fit(first_held, last_held, least_squares_gain(first_held, last_held));
    const double gain = held.gain;
    const double signal = held.signal, noise = held.noise;
    const bool any = first_held < last_held;
    const double snr = any ? to_db(signal, noise) : -200.0;
    // The capture's first sample may lie inside the block before the first held one.
    std::size_t first_sample = any ? first_held : sound_end;
    if (any && lag < 0) {
        const auto start = static_cast<std::size_t>(-lag);
        if (start + BLOCK > first_held && start <= first_held) first_sample = std::max(onset, start);
    }
    const double start_loss_ms = ms(first_sample - onset);
    const double end_loss_ms = any ? ms(sound_end - last_held) : 0.0;
    std::printf("offset_samples=%ld gain=%.5f snr_db=%.1f start_loss_ms=%.1f end_loss_ms=%.1f onset_ms=%.1f "
                "sound_ms=%.1f\n",
                lag, gain, snr, start_loss_ms, end_loss_ms, ms(onset), ms(sound_end - onset));
    bool good = any;
    if (!any) std::printf("FAIL: the capture holds none of the reference\n");
    if (max_start_loss_ms >= 0 && start_loss_ms > max_start_loss_ms) {
        std::printf("FAIL: %.1f ms lost at the start (at most %.1f ms allowed)\n", start_loss_ms, max_start_loss_ms);
        good = false;
    }
    if (max_end_loss_ms >= 0 && end_loss_ms > max_end_loss_ms) {
        std::printf("FAIL: %.1f ms lost at the end (at most %.1f ms allowed)\n", end_loss_ms, max_end_loss_ms);
        good = false;
    }
    if (min_snr_db >= 0 && snr < min_snr_db) {
        std::printf("FAIL: SNR %.1f dB below %.1f dB\n", snr, min_snr_db);
        good = false;
    }
    return good ? 0 : 1;
}
