// The worker's idle wait (IdleWaitPolicy) against scripted arrival patterns, on a simulated
// clock: a worker that takes whatever has arrived, assembles 20 ms chunks and sleeps as the
// policy says. Each pattern is judged by how late its chunks leave after their last piece
// arrived, and by how often the worker wakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "idle_wait.hpp"

namespace tamsel::capture {
namespace {

using namespace std::chrono_literals;
using Duration = IdleWaitPolicy::Duration;
using TimePoint = IdleWaitPolicy::TimePoint;

constexpr std::uint32_t RATE = 48000;
constexpr std::size_t CHUNK_FRAMES = 960;
constexpr std::size_t PIECE_FRAMES = 512;  // 1024 stereo samples
// A push is in the queue this long after it began (the copy into the slot and the publish).
constexpr Duration PUBLISH_DELAY = 20us;

TimePoint at(Duration d) { return TimePoint(d); }

struct Push {
    Duration time;
    std::size_t frames;
};

struct Outcome {
    std::size_t chunks = 0;
    std::size_t wakes = 0;             // idle sleeps taken
    Duration worst_delay{0};           // a chunk's leaving after its last piece was in the queue
    std::vector<Duration> sleeps;      // in order
    std::vector<Duration> delays;      // per chunk
    std::vector<Duration> wake_times;  // when each sleep began
};

// Runs the worker's loop on a simulated clock until `end`: take everything published by now,
// then sleep as the policy says (ended early only by `deadline_every`, a diagnostic line).
Outcome simulate(const std::vector<Push>& pushes, Duration end, Duration ceiling = IDLE_CEILING) {
    IdleWaitPolicy policy(RATE, ceiling);
    Outcome out;
    Duration now{0};
    std::size_t next = 0;
    std::size_t pending = 0;
    while (now < end) {
        while (next < pushes.size() && pushes[next].time + PUBLISH_DELAY <= now) {
            const Push& push = pushes[next++];
            for (std::size_t done = 0; done < push.frames; done += PIECE_FRAMES) {
                const std::size_t frames = std::min(PIECE_FRAMES, push.frames - done);
                policy.took(at(push.time), frames);
                pending += frames;
                while (pending >= CHUNK_FRAMES) {
                    pending -= CHUNK_FRAMES;
                    ++out.chunks;
                    const Duration delay = now - (push.time + PUBLISH_DELAY);
                    out.delays.push_back(delay);
                    out.worst_delay = std::max(out.worst_delay, delay);
                }
            }
        }
        const Duration sleep = policy.sleep_for(at(now), CHUNK_FRAMES - pending);
        EXPECT_GE(sleep, Duration{0});
        EXPECT_LE(sleep, std::max(ceiling, IDLE_POLL));
        out.sleeps.push_back(sleep);
        out.wake_times.push_back(now);
        ++out.wakes;
        now += std::max(sleep, Duration{1us});
    }
    return out;
}

// Packets of `frames` every `period` from `start` to `end`, each moved by `jitter(i)`.
std::vector<Push> steady(Duration period, std::size_t frames, Duration start, Duration end,
                         Duration (*jitter)(std::size_t) = nullptr) {
    std::vector<Push> pushes;
    std::size_t i = 0;
    for (Duration t = start; t < end; t += period, ++i) pushes.push_back({t + (jitter ? jitter(i) : Duration{0}), frames});
    return pushes;
}

// Up to ±2 ms, repeatable: how an engine's event or a loaded machine moves packets about.
Duration jitter_2ms(std::size_t i) {
    const std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u;
    return std::chrono::microseconds(static_cast<std::int64_t>(x % 4001) - 2000);
}

struct Pattern {
    const char* name;
    std::vector<Push> pushes;
    Duration length;
    // Bounds over the steady part: the worst delay of a chunk, and wakes per chunk.
    Duration worst_delay;
    double wakes_per_chunk;
};

TEST(IdleWaitPolicy, ChunksLeaveWithinAPollOfTheirLastPieceAndTheWorkerWakesAboutOncePerChunk) {
    const Duration bound = IDLE_POLL + ARRIVAL_SLACK;
    const std::vector<Pattern> patterns = {
        // The Windows engine: 10 ms packets, two to a chunk.
        {"10 ms packets", steady(10ms, 480, 0ms, 10s), 10s, bound, 1.1},
        // PipeWire's default quantum: 1024 frames at 21.3 ms, chunks straddling packets.
        {"1024-frame quanta", steady(21333us, 1024, 0ms, 10s), 10s, bound, 1.1},
        // Packets that come with the engine's or a loaded machine's jitter.
        {"10 ms packets, ±2 ms", steady(10ms, 480, 0ms, 10s, &jitter_2ms), 10s, bound + 1ms, 2.0},
        // A source that hands over 100 ms at a time (five chunks at once).
        {"100 ms bursts", steady(100ms, 4800, 0ms, 10s), 10s, bound, 0.3},
        // Clocks that drift apart: a source 0.5 % slower and one 0.5 % faster than ours.
        {"slow source", steady(10050us, 480, 0ms, 60s), 60s, bound, 1.1},
        {"fast source", steady(9950us, 480, 0ms, 60s), 60s, bound, 1.1},
    };
    for (const Pattern& p : patterns) {
        const Outcome out = simulate(p.pushes, p.length);
        ASSERT_GT(out.chunks, 10u) << p.name;
        // The first second settles the estimates.
        Duration worst{0};
        for (std::size_t i = out.chunks / 10; i < out.delays.size(); ++i) worst = std::max(worst, out.delays[i]);
        EXPECT_LE(worst, p.worst_delay) << p.name;
        const double per_chunk = static_cast<double>(out.wakes) / static_cast<double>(out.chunks);
        std::printf("%-22s worst delay %6.3f ms, %.2f wakes per chunk\n", p.name,
                    std::chrono::duration<double, std::milli>(worst).count(), per_chunk);
        EXPECT_LE(per_chunk, p.wakes_per_chunk) << p.name << ": " << out.wakes << " wakes for " << out.chunks
                                                 << " chunks";
    }
}

TEST(IdleWaitPolicy, SilenceGrowsTheSleepToTheCeilingAndTheFirstPieceEndsIt) {
    // One second of 10 ms packets, three seconds of nothing, then packets again (with some
    // jitter, so some come late and the worker must look closely again).
    std::vector<Push> pushes = steady(10ms, 480, 0ms, 1s);
    const std::vector<Push> after = steady(10ms, 480, 4s + 3ms, 6s, &jitter_2ms);
    pushes.insert(pushes.end(), after.begin(), after.end());
    const Outcome out = simulate(pushes, 6s);

    // During the silence: the sleeps double up to the ceiling and stay there.
    std::vector<Duration> silent;
    for (std::size_t i = 0; i < out.sleeps.size(); ++i) {
        if (out.wake_times[i] > 1s + 50ms && out.wake_times[i] < 4s) silent.push_back(out.sleeps[i]);
    }
    ASSERT_GT(silent.size(), 10u);
    EXPECT_LE(silent.size(), 25u) << "about five wakes a second while nothing arrives";
    EXPECT_EQ(silent.back(), IDLE_CEILING);
    for (std::size_t i = 1; i < silent.size(); ++i) EXPECT_GE(silent[i], silent[i - 1]) << "sleep " << i;

    // After it: the first chunk waits at most one ceiling; the sleeps come back down at once,
    // and from the next second on every chunk leaves within a poll again.
    Duration first_after{0}, worst_later{0};
    for (std::size_t i = 0; i < out.delays.size(); ++i) {
        if (i == 50) first_after = out.delays[i];  // 1 s of audio = 50 chunks before the silence
        if (i > 100) worst_later = std::max(worst_later, out.delays[i]);
    }
    EXPECT_LE(first_after, IDLE_CEILING);
    EXPECT_LE(worst_later, IDLE_POLL + ARRIVAL_SLACK + 1ms);
    std::size_t long_sleeps_later = 0;
    for (std::size_t i = 0; i < out.sleeps.size(); ++i) {
        if (out.wake_times[i] > 4s + 200ms && out.sleeps[i] > 30ms) ++long_sleeps_later;
    }
    EXPECT_EQ(long_sleeps_later, 0u) << "the ceiling is left once audio comes again";
}

TEST(IdleWaitPolicy, WithNothingEverArrivingTheSleepsDoubleToTheCeiling) {
    IdleWaitPolicy policy(RATE);
    std::vector<Duration> sleeps;
    Duration now{0};
    for (int i = 0; i < 10; ++i) {
        sleeps.push_back(policy.sleep_for(at(now), CHUNK_FRAMES));
        now += sleeps.back();
    }
    const std::vector<Duration> expected = {1ms, 2ms, 4ms, 8ms, 16ms, 32ms, 64ms, 128ms, 200ms, 200ms};
    EXPECT_EQ(sleeps, expected);
}

TEST(IdleWaitPolicy, ASleepEndsWhenTheDiagnosticLineIsDue) {
    struct Case {
        const char* name;
        Duration now;
        std::optional<Duration> deadline;
        Duration expected;
    };
    // Ten packets seen; the next chunk is due 20.5 ms after the last (at 110.5 ms).
    const std::vector<Case> cases = {
        {"no line due", 90ms, std::nullopt, 20500us},
        {"a line due sooner", 90ms, 95ms, 5ms},
        {"a line due later", 90ms, 200ms, 20500us},
        {"a line overdue", 90ms, 80ms, 0ms},
    };
    for (const Case& c : cases) {
        IdleWaitPolicy policy(RATE);
        for (Duration t = 0ms; t <= 90ms; t += 10ms) policy.took(at(t), 480);
        const std::optional<TimePoint> deadline = c.deadline ? std::optional<TimePoint>(at(*c.deadline)) : std::nullopt;
        EXPECT_EQ(policy.sleep_for(at(c.now), CHUNK_FRAMES, deadline), c.expected) << c.name;
    }
}

TEST(IdleWaitPolicy, SizeAndSpacingAreTheMediansOfRecentPushes) {
    struct Case {
        const char* name;
        std::vector<Push> pushes;
        Duration spacing;
        std::size_t frames;
    };
    const std::vector<Case> cases = {
        {"one push: its frames' own time", {{0ms, 480}}, 10ms, 480},
        {"steady", steady(10ms, 480, 0ms, 100ms), 10ms, 480},
        // One packet held up and the next bunched behind it move neither figure.
        {"one stall", {{0ms, 480}, {10ms, 480}, {20ms, 480}, {60ms, 480}, {60100us, 480}, {70ms, 480}, {80ms, 480}},
         10ms, 480},
        // Pieces of one push (a 100 ms packet cut into 512-frame pieces) are one push.
        {"pieces of one push", {{0ms, 512}, {0ms, 512}, {0ms, 256}, {20ms, 512}, {20ms, 512}, {20ms, 256}}, 20ms, 1280},
    };
    for (const Case& c : cases) {
        IdleWaitPolicy policy(RATE);
        for (const Push& p : c.pushes) policy.took(at(p.time), p.frames);
        EXPECT_EQ(policy.spacing(), c.spacing) << c.name;
        EXPECT_EQ(policy.frames_per_push(), c.frames) << c.name;
    }
}

}  // namespace
}  // namespace tamsel::capture
