// Compares a captured PCM stream with the audio that was played (both mono s16le, 48000 Hz):
//   tamsel_pcm_align REFERENCE CAPTURE [--max-start-loss-ms N] [--max-end-loss-ms N]
//                    [--max-lost-inside-ms N] [--max-delayed-ms N] [--min-snr-db D]
// It finds the offset at which the capture matches the reference best (cross-correlation through
// an FFT), then walks the reference's sound in 10 ms blocks, following the offset where the
// capture slips (up to 100 ms either way):
//   - onset: the first reference sample above 1 % of full scale (the sound begins);
//   - start loss: from the onset to the first sounding reference block that the capture holds
//     faithfully (correlation of at least 0.995 at the offset in force, about 20 dB SNR); what
//     the capture never had;
//   - end loss: from the last such block to the end of the reference's sound;
//   - lost inside: sounding blocks between those that the capture does not hold, plus the audio
//     skipped where the offset moved back (a hole);
//   - delayed: the time inserted where the offset moved on (silence or a repeat put in);
//   - shortened pauses: the time skipped where the offset moved back within a pause of the
//     reference (no sound is missing there, so it is not lost);
//   - gain and SNR: least-squares gain of capture over the held blocks, and the signal-to-residual
//     ratio over everything from the first to the last held block, each block at the offset in
//     force there, so holes, clicks, inserted silence and repeats inside the stream count against it.
// Prints one line "offset_samples=... gain=... snr_db=... start_loss_ms=... end_loss_ms=...
// lost_inside_ms=... delayed_ms=... shortened_pauses_ms=..." and exits 0 when every given bound holds, 1 when one does
// not, 2 on a usage error.
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
constexpr double HELD_CORRELATION = 0.995;  // 1 - 10^(-20/10) / 2: about 20 dB
constexpr std::size_t HEAD = 72000;           // 1.5 s of sound find the offset at the start
constexpr long SLIP = 4800;                   // a slip of up to 100 ms either way is followed
constexpr std::size_t SEARCH_WINDOW = 2400;   // matched over 50 ms
constexpr std::size_t MAX_SEARCHES = 50;

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
        std::fprintf(stderr, "usage: tamsel_pcm_align REFERENCE CAPTURE [--max-start-loss-ms N] [--max-end-loss-ms N] "
                             "[--max-lost-inside-ms N] [--max-delayed-ms N] [--min-snr-db D]\n");
        return 2;
    }
    double max_start_loss_ms = -1, min_snr_db = -1, max_end_loss_ms = -1, max_lost_inside_ms = -1, max_delayed_ms = -1;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (flag == "--max-start-loss-ms") max_start_loss_ms = value;
        else if (flag == "--min-snr-db") min_snr_db = value;
        else if (flag == "--max-end-loss-ms") max_end_loss_ms = value;
        else if (flag == "--max-lost-inside-ms") max_lost_inside_ms = value;
        else if (flag == "--max-delayed-ms") max_delayed_ms = value;
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
    // The offset at the start: the first seconds of the reference against the capture.
    const std::vector<double> head(reference.begin(),
                                   reference.begin() + static_cast<long>(std::min(reference.size(), onset + HEAD)));
    const long start_lag = best_lag(head, capture);
    // Capture sample aligned with reference sample i at `lag`, or 0 where the capture has none.
    const auto captured = [&](std::size_t i, long lag) {
        const long k = static_cast<long>(i) + lag;
        return k >= 0 && k < static_cast<long>(capture.size()) ? capture[static_cast<std::size_t>(k)] : 0.0;
    };
    // Normalised correlation of [begin, end) at `lag`; -1 for a pause or an empty capture.
    const auto correlation = [&](std::size_t begin, std::size_t end, long lag) {
        double rr = 0, cc = 0, rc = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const double c = captured(i, lag);
            rr += reference[i] * reference[i];
            cc += c * c;
            rc += reference[i] * c;
        }
        return cc > 0 && rr > 0 ? rc / std::sqrt(rr * cc) : -1.0;
    };
    const auto pause = [&](std::size_t begin, std::size_t end) {
        double rr = 0;
        for (std::size_t i = begin; i < end; ++i) rr += reference[i] * reference[i];
        return rr < static_cast<double>(end - begin) * SOUND_LEVEL * SOUND_LEVEL * 0.01;
    };

    // Walk the sound in blocks at the current offset. Where the capture does not match, look for
    // the offset it continues at (within SLIP, at most MAX_SEARCHES times): a later one means
    // audio was delayed (a glitch put silence in), an earlier one that audio was skipped.
    struct Held {
        std::size_t begin, end;
        long lag;
    };
    std::vector<Held> held;
    long lag = start_lag;
    std::size_t searches = 0;
    long skipped = 0, delayed = 0, shortened = 0;
    std::size_t last_held_end = onset;
    for (std::size_t b = onset; b < sound_end; b += BLOCK) {
        const std::size_t end = std::min(b + BLOCK, sound_end);
        if (pause(b, end)) continue;
        bool ok = correlation(b, end, lag) >= HELD_CORRELATION;
        if (!ok && searches < MAX_SEARCHES) {
            ++searches;
            const std::size_t window_end = std::min(b + SEARCH_WINDOW, sound_end);
            long best = lag;
            double best_value = -1.0;
            for (long candidate = lag - SLIP; candidate <= lag + SLIP; ++candidate) {
                const double value = correlation(b, window_end, candidate);
                if (value > best_value) {
                    best_value = value;
                    best = candidate;
                }
            }
            if (best_value >= HELD_CORRELATION && correlation(b, end, best) >= HELD_CORRELATION) {
                // Audio skipped where the reference pauses (since the last held block, and as
                // long as the skip) shortened a pause: no sound is missing.
                const bool in_pause = b - last_held_end >= static_cast<std::size_t>(std::labs(best - lag)) &&
                                      pause(last_held_end, b);
                (best > lag ? delayed : in_pause ? shortened : skipped) += std::labs(best - lag);
                lag = best;
                ok = true;
            }
        }
        if (ok) {
            held.push_back({b, end, lag});
            last_held_end = end;
        }
    }
    const bool any = !held.empty();
    double cross = 0, power = 0;
    for (const Held& h : held) {
        for (std::size_t i = h.begin; i < h.end; ++i) {
            cross += captured(i, h.lag) * reference[i];
            power += reference[i] * reference[i];
        }
    }
    const double gain = power > 0 ? cross / power : 0.0;
    // Residual over the whole span, each block at the offset in force there (that of the last
    // held block before it), pauses and blocks the capture does not hold included.
    double signal = 0, noise = 0;
    if (any) {
        std::size_t next = 0;  // the first held block not yet passed
        long in_force = held.front().lag;
        for (std::size_t b = held.front().begin; b < held.back().end; b += BLOCK) {
            while (next < held.size() && held[next].begin <= b) in_force = held[next++].lag;
            const std::size_t end = std::min(b + BLOCK, held.back().end);
            // In a pause before a held block at another offset, the capture may have moved on
            // there already (a shortened or lengthened pause): the closer of the two counts.
            const long next_lag = next < held.size() ? held[next].lag : in_force;
            double block_signal = 0, at_force = 0, at_next = 0;
            for (std::size_t i = b; i < end; ++i) {
                const double expected = gain * reference[i];
                block_signal += expected * expected;
                at_force += (captured(i, in_force) - expected) * (captured(i, in_force) - expected);
                at_next += (captured(i, next_lag) - expected) * (captured(i, next_lag) - expected);
            }
            signal += block_signal;
            noise += next_lag != in_force && pause(b, end) ? std::min(at_force, at_next) : at_force;
        }
    }
    const double snr = any ? to_db(signal, noise) : -200.0;
    const std::size_t first_held = any ? held.front().begin : sound_end;
    const std::size_t last_held = any ? held.back().end : sound_end;
    // The capture's first sample may lie inside the block before the first held one.
    std::size_t first_sample = first_held;
    if (any && start_lag < 0) {
        const auto start = static_cast<std::size_t>(-start_lag);
        if (start + BLOCK > first_held && start <= first_held) first_sample = std::max(onset, start);
    }
    const double start_loss_ms = ms(first_sample - onset);
    const double end_loss_ms = ms(sound_end - last_held);
    // Sounding audio missing between the first and the last held block.
    std::size_t inside = 0;
    for (std::size_t b = first_held; any && b < last_held; b += BLOCK) {
        const std::size_t end = std::min(b + BLOCK, sound_end);
        if (pause(b, end)) continue;
        const bool in_held = std::any_of(held.begin(), held.end(), [&](const Held& h) { return h.begin == b; });
        if (!in_held) inside += end - b;
    }
    const double lost_inside_ms = ms(inside) + ms(static_cast<std::size_t>(skipped));
    std::printf("offset_samples=%ld gain=%.5f snr_db=%.1f start_loss_ms=%.1f end_loss_ms=%.1f lost_inside_ms=%.1f "
                "delayed_ms=%.1f shortened_pauses_ms=%.1f onset_ms=%.1f sound_ms=%.1f\n",
                start_lag, gain, snr, start_loss_ms, end_loss_ms, lost_inside_ms,
                ms(static_cast<std::size_t>(delayed)), ms(static_cast<std::size_t>(shortened)), ms(onset),
                ms(sound_end - onset));
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
    if (max_lost_inside_ms >= 0 && lost_inside_ms > max_lost_inside_ms) {
        std::printf("FAIL: %.1f ms lost inside the stream (at most %.1f ms allowed)\n", lost_inside_ms,
                    max_lost_inside_ms);
        good = false;
    }
    if (max_delayed_ms >= 0 && ms(static_cast<std::size_t>(delayed)) > max_delayed_ms) {
        std::printf("FAIL: %.1f ms put in inside the stream (at most %.1f ms allowed)\n",
                    ms(static_cast<std::size_t>(delayed)), max_delayed_ms);
        good = false;
    }
    if (min_snr_db >= 0 && snr < min_snr_db) {
        std::printf("FAIL: SNR %.1f dB below %.1f dB\n", snr, min_snr_db);
        good = false;
    }
    return good ? 0 : 1;
}
