#include "stream_mixer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tamsel::host::linux_host {
namespace {

constexpr std::size_t ANY = 1u << 20;

// `frames` stereo frames, left = value, right = -value.
std::vector<float> frames_of(float value, std::size_t frames) {
    std::vector<float> samples;
    for (std::size_t i = 0; i < frames; ++i) {
        samples.push_back(value);
        samples.push_back(-value);
    }
    return samples;
}

void push(StreamMixer& mixer, std::uint32_t id, float value, std::size_t frames, std::int64_t now) {
    const std::vector<float> samples = frames_of(value, frames);
    mixer.push(id, samples.data(), frames, now);
}

TEST(StreamMixer, OneStreamIsDueAtOnceAndUnchanged) {
    StreamMixer mixer;
    mixer.add_stream(1);
    EXPECT_EQ(mixer.ready_frames(0, ANY), 0u);
    const std::vector<float> samples = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    mixer.push(1, samples.data(), 3, 0);
    ASSERT_EQ(mixer.ready_frames(0, ANY), 3u);
    std::vector<float> out;
    EXPECT_FALSE(mixer.take(3, out));
    EXPECT_EQ(out, samples);
    EXPECT_EQ(mixer.ready_frames(0, ANY), 0u);
}

TEST(StreamMixer, StreamsInStepAreSummedFrameByFrame) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, 100, 0);
    EXPECT_EQ(mixer.ready_frames(0, ANY), 0u) << "stream 2 has not contributed yet";
    push(mixer, 2, 0.5f, 60, 1000);
    ASSERT_EQ(mixer.ready_frames(1000, ANY), 60u) << "only what both delivered";
    std::vector<float> out;
    (void)mixer.take(60, out);
    ASSERT_EQ(out.size(), 120u);
    EXPECT_FLOAT_EQ(out[0], 0.75f);
    EXPECT_FLOAT_EQ(out[1], -0.75f);
    EXPECT_FLOAT_EQ(out[119], -0.75f);
    EXPECT_EQ(mixer.queued_frames(1), 40u);
    EXPECT_EQ(mixer.ready_frames(1000, ANY), 0u) << "the remainder waits for stream 2 again";
    push(mixer, 2, 0.5f, 40, 2000);
    ASSERT_EQ(mixer.ready_frames(2000, ANY), 40u);
    (void)mixer.take(40, out);
    EXPECT_FLOAT_EQ(out[0], 0.75f);
}

TEST(StreamMixer, LaggingStreamCountsAsSilentAfterTheWaitBound) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, 50, 10000);
    EXPECT_EQ(mixer.ready_frames(10000 + MIX_WAIT_US - 1, ANY), 0u);
    ASSERT_EQ(mixer.ready_frames(10000 + MIX_WAIT_US, ANY), 50u);
    std::vector<float> out;
    (void)mixer.take(50, out);
    EXPECT_FLOAT_EQ(out[0], 0.25f);
    // The lagging stream joins from where its frames arrive.
    push(mixer, 2, 0.5f, 10, 600000);
    push(mixer, 1, 0.25f, 10, 600000);
    ASSERT_EQ(mixer.ready_frames(600000, ANY), 10u);
    (void)mixer.take(10, out);
    EXPECT_FLOAT_EQ(out[0], 0.75f);
}

// Streams 1 (0.25) and 2 (0.5) that have both delivered `frames` frames, mixed at time 0.
void start_two_streams(StreamMixer& mixer, std::size_t frames, std::vector<float>& out) {
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, frames, 0);
    push(mixer, 2, 0.5f, frames, 0);
    (void)mixer.take(mixer.ready_frames(0, ANY), out);
}

// Frames that waited out the bound stay due over as many packets as they fill: a lag leaves no
// backlog (and so no latency) behind it.
TEST(StreamMixer, FramesPastTheWaitBoundStayDueAcrossPackets) {
    StreamMixer mixer;
    std::vector<float> out;
    start_two_streams(mixer, 10, out);
    push(mixer, 1, 0.25f, 10000, 1000);
    const std::int64_t due_at = 1000 + MIX_WAIT_US;
    for (const std::size_t packet : {4800u, 4800u, 400u}) {
        ASSERT_EQ(mixer.ready_frames(due_at, 4800), packet);
        (void)mixer.take(packet, out);
    }
    push(mixer, 1, 0.25f, 10, due_at);
    EXPECT_EQ(mixer.ready_frames(due_at, 4800), 10u) << "stream 2 is quiet past its wait: no more waiting";
}

// A lagging stream is waited for from its own last delivery, so another stream that runs ahead
// (old frames queued) does not cut the wait short; still no frame waits longer than MAX_WAIT_US.
TEST(StreamMixer, LaggingStreamIsWaitedForFromItsLastDelivery) {
    StreamMixer mixer;
    std::vector<float> out;
    start_two_streams(mixer, 10, out);
    push(mixer, 1, 0.25f, 4800, 0);  // stream 1 runs 100 ms ahead
    push(mixer, 2, 0.5f, 480, 200000);
    push(mixer, 1, 0.25f, 480, 200000);
    ASSERT_EQ(mixer.ready_frames(200000, ANY), 480u);
    (void)mixer.take(480, out);
    // Stream 2 went quiet at 200000; stream 1 holds 4800 frames, the oldest from time 0.
    EXPECT_EQ(mixer.ready_frames(MAX_WAIT_US - 1, ANY), 0u);
    EXPECT_EQ(mixer.ready_frames(MAX_WAIT_US, ANY), 4800u);
}

// Stream 2 lags behind stream 1 by `late` frames (it was silent in a stretch already mixed).
void make_stream_2_late(StreamMixer& mixer, std::size_t late, std::vector<float>& out) {
    start_two_streams(mixer, 10, out);
    push(mixer, 1, 0.25f, late, 1000);
    ASSERT_EQ(mixer.ready_frames(1000 + MIX_WAIT_US, ANY), late);
    EXPECT_FALSE(mixer.take(late, out));
    EXPECT_FLOAT_EQ(out[0], 0.25f) << "stream 2 counted as silent";
}

// A burst-wise server delivers a stream's late frames whole: they are kept (they may be speech)
// and play behind the other stream, whose current frames alone set the pace.
TEST(StreamMixer, LateFramesAreKeptAndPlayBehind) {
    StreamMixer mixer;
    std::vector<float> out;
    make_stream_2_late(mixer, 50, out);
    // Stream 2's burst: 50 frames of the stretch already out (0.125), then 10 current ones (0.5).
    std::vector<float> burst = frames_of(0.125f, 50);
    const std::vector<float> current = frames_of(0.5f, 10);
    burst.insert(burst.end(), current.begin(), current.end());
    mixer.push(2, burst.data(), 60, 600000);
    // Stream 1 is quiet (past its wait): only stream 2's current frames are due, not its late ones.
    ASSERT_EQ(mixer.ready_frames(600000, ANY), 10u) << "the late frames do not speed the mix up";
    (void)mixer.take(10, out);
    EXPECT_FLOAT_EQ(out[0], 0.125f) << "stream 2's late frames come first";
    EXPECT_EQ(mixer.queued_frames(2), 50u);
    mixer.remove_stream(1);
    mixer.remove_stream(2);
    ASSERT_EQ(mixer.ready_frames(600000, ANY), 50u);
    (void)mixer.take(50, out);
    EXPECT_FLOAT_EQ(out[2 * 39], 0.125f);
    EXPECT_FLOAT_EQ(out[2 * 40], 0.5f) << "and the whole burst is mixed out";
}

// A late stream makes its lateness up out of its own pauses (whole milliseconds below the
// silence level): every other millisecond, at most MAX_PAUSE_CUT_FRAMES of one pause, no
// further than its lateness, and never out of sound.
TEST(StreamMixer, LateStreamMakesUpOutOfItsPauses) {
    constexpr std::size_t MS = SILENT_RUN_FRAMES;
    struct Case {
        const char* name;
        std::size_t late;
        float value;
        std::size_t frames;
        std::size_t kept;
    };
    const Case cases[] = {
        {"every other millisecond of a pause", 200, 0.0f, 4 * MS, 2 * MS},
        {"no further than the lateness", 50, 0.0f, 4 * MS, 4 * MS - 50},
        {"at most 50 ms of one pause", MAX_LATE_FRAMES, 0.0f, 200 * MS, 200 * MS - MAX_PAUSE_CUT_FRAMES},
        {"faint sound counts as silence", 200, SILENCE_LEVEL / 2, 2 * MS, MS},
        {"quiet sound is kept", 200, SILENCE_LEVEL * 2, 2 * MS, 2 * MS},
        {"less than a millisecond of silence is kept", 50, 0.0f, MS - 1, MS - 1},
        {"a stream that is not late keeps its pauses", 0, 0.0f, 4 * MS, 4 * MS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamMixer mixer;
        std::vector<float> out;
        if (c.late > 0) {
            make_stream_2_late(mixer, c.late, out);
        } else {
            start_two_streams(mixer, 10, out);
        }
        push(mixer, 2, c.value, c.frames, 900000);
        EXPECT_EQ(mixer.queued_frames(2), c.kept);
    }
}

// Sound between two pauses stays where it is, and a new pause may be shortened again.
TEST(StreamMixer, LateStreamShortensEachPauseApart) {
    constexpr std::size_t MS = SILENT_RUN_FRAMES;
    StreamMixer mixer;
    std::vector<float> out;
    make_stream_2_late(mixer, MAX_LATE_FRAMES, out);
    // A pause the longest a pause is cut, 1 ms of sound, then a 2 ms pause.
    std::vector<float> delivery = frames_of(0.0f, 2 * MAX_PAUSE_CUT_FRAMES + 2 * MS);
    const std::vector<float> sound = frames_of(0.5f, MS);
    delivery.insert(delivery.end(), sound.begin(), sound.end());
    delivery.resize(delivery.size() + 2 * MIX_CHANNELS * MS, 0.0f);
    const std::size_t frames = delivery.size() / MIX_CHANNELS;
    mixer.push(2, delivery.data(), frames, 900000);
    ASSERT_EQ(mixer.queued_frames(2), frames - MAX_PAUSE_CUT_FRAMES - MS);
    mixer.remove_stream(1);
    mixer.remove_stream(2);
    (void)mixer.take(mixer.ready_frames(900000, ANY), out);
    const std::size_t sound_at = MAX_PAUSE_CUT_FRAMES + 2 * MS;
    EXPECT_FLOAT_EQ(out[2 * (sound_at - 1)], 0.0f);
    EXPECT_FLOAT_EQ(out[2 * sound_at], 0.5f);
    EXPECT_FLOAT_EQ(out[2 * (sound_at + MS - 1)], 0.5f);
    EXPECT_EQ(out.size(), 2 * (sound_at + MS + MS));
}

TEST(StreamMixer, LatenessIsBounded) {
    StreamMixer mixer;
    std::vector<float> out;
    make_stream_2_late(mixer, MAX_LATE_FRAMES + 4800, out);
    push(mixer, 2, 0.5f, MAX_LATE_FRAMES + 5, 2000000);
    push(mixer, 1, 0.25f, 5, 2000000);
    EXPECT_EQ(mixer.queued_frames(2), MAX_LATE_FRAMES + 5) << "nothing dropped";
    EXPECT_EQ(mixer.ready_frames(2000000, ANY), 5u) << "late by MAX_LATE_FRAMES at most";
}

// A stream whose late frames came in a burst is waited for longer by its lateness.
TEST(StreamMixer, BurstingStreamIsWaitedForLonger) {
    StreamMixer mixer;
    std::vector<float> out;
    make_stream_2_late(mixer, 4800, out);  // 100 ms
    push(mixer, 2, 0.5f, 4800 + 10, 600000);
    push(mixer, 1, 0.25f, 10, 600000);
    (void)mixer.take(mixer.ready_frames(600000, ANY), out);
    // Stream 2 lags again from its burst on.
    push(mixer, 1, 0.25f, 10, 600000);
    EXPECT_EQ(mixer.ready_frames(600000 + MIX_WAIT_US + 100000 - 1, ANY), 0u);
    EXPECT_EQ(mixer.ready_frames(600000 + MIX_WAIT_US + 100000, ANY), 10u);
}

// With no current frame anywhere the mix stands still; once it has for the wait, a late
// stream's frames that have waited are let go, as many as the mix stood still (polled as the
// capture loop polls, every 5 ms).
TEST(StreamMixer, LateStreamBehindAStandingMixIsLetOff) {
    for (const std::size_t late : {std::size_t{50}, MAX_LATE_FRAMES}) {
        SCOPED_TRACE(late);
        StreamMixer mixer;
        std::vector<float> out;
        make_stream_2_late(mixer, late, out);  // the mix advanced last at 1000 + MIX_WAIT_US
        const std::int64_t at = 1000 + MIX_WAIT_US;
        push(mixer, 2, 0.5f, late, at);  // all of it late; stream 1 delivers nothing
        for (std::int64_t now = at; now < at + MIX_WAIT_US; now += 5000) {
            ASSERT_EQ(mixer.ready_frames(now, ANY), 0u) << now - at;
        }
        // Let off as much as it stood still: all of a short lateness, part of a long one.
        const auto still = static_cast<std::size_t>(MIX_WAIT_US * MIX_RATE / 1000000);
        EXPECT_EQ(mixer.ready_frames(at + MIX_WAIT_US, ANY), std::min(late, still));
    }
}

// Twenty streams deliver 10 ms every 10 ms; each in turn is held back 300 ms and then sends
// what it held in one burst (a burst-wise server). The mix never runs ahead of time, falls
// behind it by no more than the wait and the lateness bound, and loses no sound.
TEST(StreamMixer, StreamsLaggingInTurnKeepTimeAndLoseNoSound) {
    constexpr std::uint32_t STREAMS = 20;
    constexpr std::size_t TICK = 480;
    constexpr std::int64_t TICK_US = 10000;
    constexpr int SPACING_TICKS = 40;
    constexpr int HOLD_TICKS = 30;  // longer than the mix waits for a stream at first
    constexpr int TICKS = SPACING_TICKS * STREAMS + 50;
    StreamMixer mixer;
    for (std::uint32_t id = 0; id < STREAMS; ++id) mixer.add_stream(id);
    std::vector<std::size_t> held(STREAMS, 0);
    double delivered = 0;
    double mixed = 0;
    std::size_t mixed_frames = 0;
    std::vector<float> out;
    const auto mix_due = [&](std::int64_t now) {
        for (std::size_t due; (due = mixer.ready_frames(now, 4800)) > 0;) {
            EXPECT_FALSE(mixer.take(due, out));
            for (std::size_t i = 0; i < out.size(); i += MIX_CHANNELS) mixed += out[i];
            mixed_frames += due;
        }
    };
    for (int tick = 1; tick <= TICKS; ++tick) {
        const std::int64_t now = tick * TICK_US;
        // Stream k is held back in ticks [40k + 5, 40k + 5 + HOLD_TICKS).
        for (std::uint32_t id = 0; id < STREAMS; ++id) {
            const int start = SPACING_TICKS * static_cast<int>(id) + 5;
            held[id] += TICK;
            if (tick >= start && tick < start + HOLD_TICKS) continue;
            // Values that sum exactly: k/1024, all above the silence level.
            push(mixer, id, static_cast<float>(id + 1) / 1024.0f, held[id], now);
            delivered += static_cast<double>(held[id]) * (id + 1) / 1024.0;
            held[id] = 0;
        }
        mix_due(now);
        const std::size_t elapsed = static_cast<std::size_t>(tick) * TICK;
        ASSERT_LE(mixed_frames, elapsed) << "tick " << tick;
        ASSERT_GE(mixed_frames + (MAX_WAIT_US / TICK_US + 1) * TICK + MAX_LATE_FRAMES, elapsed) << "tick " << tick;
    }
    for (std::uint32_t id = 0; id < STREAMS; ++id) mixer.remove_stream(id);
    mix_due(TICKS * TICK_US);
    EXPECT_FALSE(mixer.has_queued());
    EXPECT_DOUBLE_EQ(mixed, delivered);
}

// Streams stop in a tone (no pause to make lateness up from). A server that held a stream back
// sends what it held in a burst; a sink that was suspended resumes where it stopped and sends
// nothing for the stretch. Either way the mix never runs ahead of time, soon runs in time again
// and loses no sound, also when one stream is held for a second and its burst comes while the
// other lags.
TEST(StreamMixer, StreamsThatStopAndResumeLeaveNoLatencyBehind) {
    constexpr std::size_t TICK = 480;
    constexpr std::int64_t TICK_US = 10000;
    constexpr int TICKS = 160;
    struct Hold {
        int from = 0;  // ticks [from, to) deliver nothing
        int to = 0;
        bool burst = true;  // what was held comes after it
    };
    const struct {
        const char* name;
        Hold holds[2];
    } cases[] = {
        {"300 ms, then a burst", {{}, {20, 50, true}}},
        {"300 ms, then at its pace", {{}, {20, 50, false}}},
        {"a second, its burst while the other lags", {{100, 130, true}, {20, 120, true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamMixer mixer;
        mixer.add_stream(1);
        mixer.add_stream(2);
        std::size_t held[2] = {0, 0};
        double delivered = 0;
        double mixed = 0;
        std::size_t mixed_frames = 0;
        std::vector<float> out;
        const auto mix = [&](std::size_t due) {
            EXPECT_FALSE(mixer.take(due, out));
            for (std::size_t i = 0; i < out.size(); i += MIX_CHANNELS) mixed += out[i];
            mixed_frames += due;
        };
        for (int tick = 1; tick <= TICKS; ++tick) {
            const std::int64_t now = tick * TICK_US;
            for (std::uint32_t id = 1; id <= 2; ++id) {
                const Hold& hold = c.holds[id - 1];
                const float value = 0.25f * static_cast<float>(id);
                if (tick >= hold.from && tick < hold.to) {
                    if (hold.burst) held[id - 1] += TICK;
                    continue;
                }
                push(mixer, id, value, held[id - 1] + TICK, now);
                delivered += value * static_cast<double>(held[id - 1] + TICK);
                held[id - 1] = 0;
            }
            for (std::size_t due; (due = mixer.ready_frames(now, 4800)) > 0;) mix(due);
            ASSERT_LE(mixed_frames, static_cast<std::size_t>(tick) * TICK) << "tick " << tick;
        }
        EXPECT_GE(mixed_frames, (TICKS - 2) * TICK) << "the mix runs in time again";
        mixer.remove_stream(1);
        mixer.remove_stream(2);
        mix(mixer.ready_frames(TICKS * TICK_US, ANY));
        EXPECT_DOUBLE_EQ(mixed, delivered);
    }
}

TEST(StreamMixer, PausedStreamDoesNotHoldTheMixBackAndOwesNothingWhenResumed) {
    StreamMixer mixer;
    std::vector<float> out;
    start_two_streams(mixer, 10, out);
    mixer.set_paused(2, true);
    EXPECT_EQ(mixer.live_streams(), 1u);
    push(mixer, 1, 0.25f, 30, 1000);
    ASSERT_EQ(mixer.ready_frames(1000, ANY), 30u) << "no wait for the paused stream";
    (void)mixer.take(30, out);
    mixer.set_paused(2, false);
    push(mixer, 1, 0.25f, 10, 2000);
    EXPECT_EQ(mixer.ready_frames(2000, ANY), 0u) << "resumed, it holds the mix back again";
    push(mixer, 2, 0.5f, 10, 3000);
    ASSERT_EQ(mixer.ready_frames(3000, ANY), 10u);
    EXPECT_FALSE(mixer.take(10, out)) << "its first frames after the pause are kept";
    EXPECT_FLOAT_EQ(out[0], 0.75f);
}

TEST(StreamMixer, JoiningStreamHoldsTheMixBackWithinTheBound) {
    StreamMixer mixer;
    mixer.add_stream(1);
    push(mixer, 1, 0.25f, 10, 0);
    mixer.add_stream(2);
    EXPECT_EQ(mixer.ready_frames(MIX_WAIT_US / 2, ANY), 0u);
    EXPECT_EQ(mixer.ready_frames(MIX_WAIT_US, ANY), 10u);
    EXPECT_EQ(mixer.live_streams(), 2u);
}

TEST(StreamMixer, LeavingStreamIsMixedOutThenForgotten) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, 30, 0);
    push(mixer, 2, 0.5f, 50, 0);
    mixer.remove_stream(2);
    EXPECT_EQ(mixer.live_streams(), 1u);
    ASSERT_EQ(mixer.ready_frames(0, ANY), 30u) << "the live stream still sets the pace";
    std::vector<float> out;
    (void)mixer.take(30, out);
    EXPECT_FLOAT_EQ(out[0], 0.75f);
    mixer.remove_stream(1);
    ASSERT_EQ(mixer.ready_frames(0, ANY), 20u) << "only ending streams: nothing to wait for";
    (void)mixer.take(20, out);
    EXPECT_FLOAT_EQ(out[0], 0.5f);
    EXPECT_FALSE(mixer.has_stream(1));
    EXPECT_FALSE(mixer.has_stream(2));
}

TEST(StreamMixer, FinishedStreamKeepsWhatStillArrivesUntilRemoved) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, 30, 0);
    mixer.finish_stream(1);
    mixer.finish_stream(2);
    EXPECT_EQ(mixer.live_streams(), 0u);
    ASSERT_EQ(mixer.ready_frames(0, ANY), 30u) << "finished streams hold nothing back";
    std::vector<float> out;
    (void)mixer.take(30, out);
    push(mixer, 1, 0.5f, 20, 1000);
    ASSERT_EQ(mixer.ready_frames(1000, ANY), 20u) << "its tail arrives after it finished, and is mixed";
    (void)mixer.take(20, out);
    EXPECT_FLOAT_EQ(out[0], 0.5f);
    mixer.remove_stream(1);
    EXPECT_FALSE(mixer.has_stream(1));
    EXPECT_TRUE(mixer.has_stream(2)) << "finished, not removed";
    push(mixer, 1, 0.5f, 20, 2000);
    EXPECT_EQ(mixer.ready_frames(2000, ANY), 0u) << "a removed stream's frames are ignored";
}

TEST(StreamMixer, EmptyStreamLeavesAtOnce) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, 10, 0);
    mixer.remove_stream(2);
    EXPECT_FALSE(mixer.has_stream(2));
    EXPECT_EQ(mixer.ready_frames(0, ANY), 10u);
}

TEST(StreamMixer, ReportedHoleIsSilenceOfItsLength) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.push_gap(1, 4, 0);
    push(mixer, 1, 0.25f, 2, 0);
    ASSERT_EQ(mixer.ready_frames(0, ANY), 6u);
    std::vector<float> out;
    (void)mixer.take(6, out);
    const std::vector<float> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0.25f, -0.25f, 0.25f, -0.25f};
    EXPECT_EQ(out, expected);
}

TEST(StreamMixer, HoleKeepsTwoStreamsAligned) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 1, 0.25f, 10, 0);
    mixer.push_gap(2, 6, 0);
    push(mixer, 2, 0.5f, 4, 0);
    ASSERT_EQ(mixer.ready_frames(0, ANY), 10u);
    std::vector<float> out;
    (void)mixer.take(10, out);
    EXPECT_FLOAT_EQ(out[0], 0.25f);
    EXPECT_FLOAT_EQ(out[2 * 6], 0.75f) << "stream 2's audio lines up after its hole";
}

// The discontinuity flag makes the capture worker throw away the partial chunk it holds (up to
// 20 ms of good audio): a packet carries it only where the mixed timeline skips, and only once.
struct FlagCase {
    const char* name;
    void (*events)(StreamMixer&);  // on streams 1 and 2, started in step; stream 1 then holds 10 frames
    bool flagged;
};

const FlagCase FLAG_CASES[] = {
    {"a lagging stream's late frames kept", [](StreamMixer& mixer) {
         std::vector<float> out;
         push(mixer, 1, 0.25f, 50, 1000);
         (void)mixer.take(mixer.ready_frames(1000 + MIX_WAIT_US, ANY), out);
         push(mixer, 2, 0.5f, 60, 600000);  // 50 late frames, 10 current ones
     }, false},
    {"a late stream's silence made up", [](StreamMixer& mixer) {
         std::vector<float> out;
         push(mixer, 1, 0.25f, 50, 1000);
         (void)mixer.take(mixer.ready_frames(1000 + MIX_WAIT_US, ANY), out);
         push(mixer, 2, 0.0f, 2 * SILENT_RUN_FRAMES, 600000);
     }, false},
    {"hole reported and filled", [](StreamMixer& mixer) {
         mixer.push_gap(2, 6, 0);
         push(mixer, 2, 0.5f, 4, 0);
     }, false},
    {"hole longer than the fill", [](StreamMixer& mixer) {
         mixer.push_gap(2, MAX_GAP_FRAMES + 1, 0);
     }, true},
    {"data lost (overflow)", [](StreamMixer& mixer) { mixer.mark_discontinuity(); }, true},
    {"runaway queue loses its oldest frames", [](StreamMixer& mixer) {
         push(mixer, 2, 0.125f, MAX_QUEUED_FRAMES + 1, 0);
     }, true},
};

TEST(StreamMixer, DiscontinuityOnlyWhereTheMixSkips) {
    for (const FlagCase& c : FLAG_CASES) {
        SCOPED_TRACE(c.name);
        StreamMixer mixer;
        std::vector<float> out;
        start_two_streams(mixer, 10, out);
        c.events(mixer);
        push(mixer, 1, 0.25f, 10, 600000);
        const std::size_t due = mixer.ready_frames(600000 + MIX_WAIT_US, ANY);
        ASSERT_GT(due, 0u);
        EXPECT_EQ(mixer.take(due, out), c.flagged);
        push(mixer, 1, 0.25f, 2, 1200000);
        push(mixer, 2, 0.5f, 2, 1200000);
        EXPECT_FALSE(mixer.take(mixer.ready_frames(1200000 + MIX_WAIT_US, ANY), out))
            << "the flag is carried once";
    }
}

TEST(StreamMixer, PacketSizeIsCapped) {
    StreamMixer mixer;
    mixer.add_stream(1);
    push(mixer, 1, 0.25f, 500, 0);
    EXPECT_EQ(mixer.ready_frames(0, 128), 128u);
    std::vector<float> out;
    (void)mixer.take(128, out);
    EXPECT_EQ(out.size(), 256u);
    EXPECT_EQ(mixer.queued_frames(1), 372u);
}

TEST(StreamMixer, RunawayQueueDropsItsOldestFrames) {
    StreamMixer mixer;
    mixer.add_stream(1);
    mixer.add_stream(2);
    push(mixer, 2, 0.5f, 1, 0);  // stream 1 never delivers in this test... until later
    push(mixer, 2, 0.125f, MAX_QUEUED_FRAMES, 0);
    EXPECT_EQ(mixer.queued_frames(2), MAX_QUEUED_FRAMES);
    std::vector<float> out;
    ASSERT_EQ(mixer.ready_frames(MIX_WAIT_US, 1), 1u);
    (void)mixer.take(1, out);
    EXPECT_FLOAT_EQ(out[0], 0.125f) << "the oldest frame (0.5) was dropped";
}

TEST(StreamMixer, UnknownStreamIsIgnored) {
    StreamMixer mixer;
    push(mixer, 9, 0.25f, 10, 0);
    mixer.push_gap(9, 10, 0);
    EXPECT_EQ(mixer.ready_frames(0, ANY), 0u);
    EXPECT_FALSE(mixer.has_queued());
}

}  // namespace
}  // namespace tamsel::host::linux_host
