// Stress: a producer pushes minutes of 48 kHz stereo audio as fast as it can, in packets of
// random length (with refused calls and reported discontinuities mixed in), through the real
// pipeline onto standard output, which is a pipe drained by a reader thread.
//
// Every frame position p carries its own number in its samples: even positions hold the low
// 15 bits of p, odd positions the next 15 bits, as the mono value of the frame. So each chunk
// that comes out names the frames it claims to hold; the test regenerates those frames,
// converts them with the scalar reference and requires the chunk to match byte for byte. With
// the chunks' positions strictly increasing and never covering a position that was not pushed,
// the stream has no torn, reordered, invented or gap-spanning chunk. The counters must account
// for every frame pushed.
//
// The same test runs natively and as a Windows program (x64 and ARM64, under Wine), so the
// queue's release/acquire orderings are exercised on a weakly ordered CPU too.
//
// TAMSEL_STRESS_AUDIO_SECONDS sets the amount of audio (default 600 s).
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>

#include <cerrno>
#include <signal.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "convert.hpp"
#include "tamsel/audio/capture.hpp"

namespace tamsel::capture {
namespace {

constexpr std::size_t CHUNK_FRAMES = 960;
constexpr std::size_t CHUNK_BYTES = 2 * CHUNK_FRAMES;

std::uint32_t code_of(std::uint64_t position) {
    return static_cast<std::uint32_t>(position % 2 == 0 ? position & 0x7FFF : (position >> 15) & 0x7FFF);
}

void frame_at(std::uint64_t position, float* frame) {
    const auto code = static_cast<float>(code_of(position));
    frame[0] = (code + 0.25f) / 32767.0f;
    frame[1] = (code + 0.75f) / 32767.0f;
}

void expected_chunk(std::uint64_t first, std::uint8_t* out) {
    float samples[2 * CHUNK_FRAMES];
    for (std::size_t f = 0; f < CHUNK_FRAMES; ++f) frame_at(first + f, samples + 2 * f);
    convert_frames_scalar(samples, 2 * CHUNK_FRAMES, 2, out);
}

std::uint32_t sample_of(const std::uint8_t* chunk, std::size_t frame) {
    return static_cast<std::uint32_t>(chunk[2 * frame] | (chunk[2 * frame + 1] << 8));
}

// The first position of a chunk, or UINT64_MAX when the chunk is not a run of regenerated frames.
std::uint64_t decode_chunk(const std::uint8_t* chunk) {
    const std::uint64_t even_first = (std::uint64_t{sample_of(chunk, 1)} << 15) | sample_of(chunk, 0);
    const std::uint64_t odd_second = (std::uint64_t{sample_of(chunk, 2)} << 15) | sample_of(chunk, 1);
    std::uint8_t expected[CHUNK_BYTES];
    for (std::uint64_t candidate : {even_first, odd_second - 1}) {
        if (candidate > (std::uint64_t{1} << 30)) continue;
        expected_chunk(candidate, expected);
        if (std::memcmp(expected, chunk, CHUNK_BYTES) == 0) return candidate;
    }
    return UINT64_MAX;
}

struct ReaderResult {
    std::vector<std::uint64_t> chunk_starts;
    std::size_t bytes = 0;
    std::size_t bad_chunks = 0;
};

// Standard output of this process replaced by a large pipe, restored on close(); the read end
// gives what the worker wrote until the last write end is gone.
class StdoutPipe {
public:
#if defined(_WIN32)
    StdoutPipe() {
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        ok_ = CreatePipe(&read_, &write_, nullptr, 1 << 20) && SetStdHandle(STD_OUTPUT_HANDLE, write_);
    }
    // Bytes read, 0 at the end of the stream.
    std::size_t read(std::uint8_t* data, std::size_t size) {
        DWORD got = 0;
        return ReadFile(read_, data, static_cast<DWORD>(size), &got, nullptr) ? got : 0;
    }
    void close() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(write_);
    }
    ~StdoutPipe() { CloseHandle(read_); }

private:
    HANDLE saved_ = nullptr, read_ = nullptr, write_ = nullptr;
#else
    StdoutPipe() {
        ::signal(SIGPIPE, SIG_IGN);
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int ends[2];
        ok_ = saved_ >= 0 && ::pipe(ends) == 0;
        if (!ok_) return;
        ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
        ::dup2(ends[1], STDOUT_FILENO);
        ::close(ends[1]);
        read_ = ends[0];
    }
    std::size_t read(std::uint8_t* data, std::size_t size) {
        while (true) {
            const ssize_t n = ::read(read_, data, size);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }
    void close() {
        ::dup2(saved_, STDOUT_FILENO);  // closes the last write end: the reader sees the end
        ::close(saved_);
    }
    ~StdoutPipe() { ::close(read_); }

private:
    int saved_ = -1, read_ = -1;
#endif
public:
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

void read_stream(StdoutPipe& pipe, ReaderResult& result) {
    std::vector<std::uint8_t> buffer(1 << 16);
    std::size_t filled = 0;
    while (true) {
        const std::size_t n = pipe.read(buffer.data() + filled, buffer.size() - filled);
        if (n == 0) break;
        result.bytes += n;
        filled += n;
        std::size_t used = 0;
        for (; filled - used >= CHUNK_BYTES; used += CHUNK_BYTES) {
            const std::uint64_t start = decode_chunk(buffer.data() + used);
            if (start == UINT64_MAX) {
                ++result.bad_chunks;
            } else {
                result.chunk_starts.push_back(start);
            }
        }
        std::memmove(buffer.data(), buffer.data() + used, filled - used);
        filled -= used;
    }
}

std::uint64_t audio_seconds() {
    const char* text = std::getenv("TAMSEL_STRESS_AUDIO_SECONDS");
    return text ? std::strtoull(text, nullptr, 10) : 600;
}

TEST(CaptureStress, EveryChunkIsExactlyTheConvertedInput) {
    const std::uint64_t total_positions = audio_seconds() * 48000;
    ASSERT_LT(total_positions, std::uint64_t{1} << 30) << "the frame code holds 30 bits";

    std::vector<bool> pushed(total_positions + 4096, false);  // positions of frames in accepted-or-dropped pieces
    std::uint64_t position = 0, frames_handed = 0, returned = 0, refused_frames = 0, gaps = 0, calls = 0;
    ReaderResult result;
    bool started = false;
    CaptureCounters counters_at_end;
    std::uint64_t next_frame_at_end = 0;
    {
        StdoutPipe pipe;
        ASSERT_TRUE(pipe.ok());
        std::thread reader(read_stream, std::ref(pipe), std::ref(result));

        auto worker = start_capture_worker(2, 48000, 32, std::make_shared<std::atomic<bool>>(false));
        started = worker.has_value();
        if (started) {
            std::mt19937_64 random(20260107);
            std::vector<float> packet(2 * 4096 + 1);
            while (position < total_positions) {
                const std::uint64_t roll = random() % 1000;
                if (roll < 5) {
                    worker->mark_discontinuity();
                    ++position;
                    ++gaps;
                    continue;
                }
                // Mostly one or two pieces, sometimes many, sometimes a single frame.
                std::size_t frames = roll < 100 ? 1 + random() % 8 : roll < 950 ? 1 + random() % 1100 : 1 + random() % 4096;
                const bool refuse = roll >= 995;  // an odd sample count: the call is refused
                for (std::size_t f = 0; f < frames; ++f) frame_at(position + f, packet.data() + 2 * f);
                const std::size_t samples = 2 * frames + (refuse ? 1 : 0);
                returned += worker->push_samples(packet.data(), samples);
                ++calls;
                frames_handed += frames;
                if (refuse) {
                    refused_frames += frames;
                } else {
                    for (std::size_t f = 0; f < frames; ++f) pushed[position + f] = true;
                }
                position += frames;
            }
            // Let the worker finish what is queued, as the real run would not: more output to check.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            worker->release_producer();
            worker->stop();
            counters_at_end.accepted_frames = worker->counters().accepted_frames.load();
            counters_at_end.dropped_frames = worker->counters().dropped_frames.load();
            counters_at_end.discontinuities = worker->counters().discontinuities.load();
            next_frame_at_end = worker->next_frame();
        }
        pipe.close();
        reader.join();
    }
    ASSERT_TRUE(started);

    // Accounting: every frame handed over was accepted or dropped (refused calls count as dropped).
    EXPECT_EQ(counters_at_end.accepted_frames.load(), returned);
    EXPECT_EQ(counters_at_end.accepted_frames.load() + counters_at_end.dropped_frames.load(), frames_handed);
    EXPECT_GE(counters_at_end.dropped_frames.load(), refused_frames);
    EXPECT_EQ(counters_at_end.discontinuities.load(), gaps);
    EXPECT_EQ(next_frame_at_end, position);

    // The stream: whole chunks only, each one a verified run of pushed frames, in order.
    EXPECT_EQ(result.bytes % CHUNK_BYTES, 0u);
    EXPECT_EQ(result.bad_chunks, 0u);
    EXPECT_EQ(result.chunk_starts.size() * CHUNK_BYTES, result.bytes - result.bad_chunks * CHUNK_BYTES);
    EXPECT_LE(result.chunk_starts.size() * CHUNK_FRAMES, returned);
    std::size_t out_of_order = 0, over_gap = 0;
    for (std::size_t i = 0; i < result.chunk_starts.size(); ++i) {
        const std::uint64_t start = result.chunk_starts[i];
        if (i > 0 && start < result.chunk_starts[i - 1] + CHUNK_FRAMES) ++out_of_order;
        for (std::uint64_t p = start; p < start + CHUNK_FRAMES; ++p) {
            if (p >= pushed.size() || !pushed[p]) {
                ++over_gap;
                break;
            }
        }
    }
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(over_gap, 0u);
    EXPECT_GT(result.chunk_starts.size(), 10u) << "the worker wrote something";
    std::printf("stress: %llu calls, %llu frames handed, %llu accepted, %llu dropped, %zu chunks written\n",
                static_cast<unsigned long long>(calls), static_cast<unsigned long long>(frames_handed),
                static_cast<unsigned long long>(returned),
                static_cast<unsigned long long>(counters_at_end.dropped_frames.load()), result.chunk_starts.size());
}

}  // namespace
}  // namespace tamsel::capture
