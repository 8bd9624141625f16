// Plays, through PulseAudio with a small buffer, silence and then a sine burst, and writes the
// CLOCK_MONOTONIC time (ns) at which the burst's first sample was handed to the server.
//   tamsel_test_burst STAMP_FILE [silence_ms=1500] [burst_ms=500] [freq=1000] [tail_ms=500]
#include <pulse/error.h>
#include <pulse/simple.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {
long long monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tamsel_test_burst STAMP_FILE [silence_ms burst_ms freq tail_ms]\n");
        return 2;
    }
    const int silence_ms = argc > 2 ? std::atoi(argv[2]) : 1500;
    const int burst_ms = argc > 3 ? std::atoi(argv[3]) : 500;
    const double freq = argc > 4 ? std::atof(argv[4]) : 1000.0;
    const int tail_ms = argc > 5 ? std::atoi(argv[5]) : 500;
    constexpr int RATE = 48000;
    constexpr int BLOCK = 480;  // 10 ms
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, RATE, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = BLOCK * 2 * 8;  // 20 ms
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    pa_simple* s = pa_simple_new(nullptr, "tamsel burst", PA_STREAM_PLAYBACK, nullptr, "burst", &format, nullptr, &attr, &error);
    if (s == nullptr) {
        std::fprintf(stderr, "tamsel_test_burst: %s\n", pa_strerror(error));
        return 1;
    }
    std::vector<float> block(BLOCK * 2);
    long long stamp = 0;
    long long phase = 0;
    const int total_blocks = (silence_ms + burst_ms + tail_ms) / 10;
    for (int b = 0; b < total_blocks; ++b) {
        const int ms = b * 10;
        const bool burst = ms >= silence_ms && ms < silence_ms + burst_ms;
        for (int i = 0; i < BLOCK; ++i) {
            const float v = burst ? static_cast<float>(0.5 * std::sin(2.0 * M_PI * freq * static_cast<double>(phase) / RATE)) : 0.0f;
            if (burst) ++phase;
            block[static_cast<std::size_t>(2 * i)] = v;
            block[static_cast<std::size_t>(2 * i + 1)] = v;
        }
        if (burst && stamp == 0) stamp = monotonic_ns();
        if (pa_simple_write(s, block.data(), block.size() * sizeof(float), &error) < 0) {
            std::fprintf(stderr, "tamsel_test_burst: %s\n", pa_strerror(error));
            pa_simple_free(s);
            return 1;
        }
    }
    (void)pa_simple_drain(s, &error);
    pa_simple_free(s);
    if (FILE* f = std::fopen(argv[1], "w")) {
        std::fprintf(f, "%lld\n", stamp);
        std::fclose(f);
    }
    return 0;
}
