#include "stream_mixer.hpp"

#include <gtest/gtest.h>

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
    push(mixer, 2, 0.5f, 10, 60000);
    push(mixer, 1, 0.25f, 10, 60000);
    ASSERT_EQ(mixer.ready_frames(60000, ANY), 10u);
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
    EXPECT_EQ(mixer.ready_frames(due_at, 4800), 0u) << "new frames wait from their own arrival";
    EXPECT_EQ(mixer.ready_frames(due_at + MIX_WAIT_US, 4800), 10u);
}

// A stream that delivered before and then lags (a burst-wise server) owes the stretch mixed
// without it: its late frames are dropped, so both streams stay aligned frame by frame.
TEST(StreamMixer, LateFramesOfARunningStreamAreDroppedToStayAligned) {
    StreamMixer mixer;
    std::vector<float> out;
    start_two_streams(mixer, 10, out);
    push(mixer, 1, 0.25f, 50, 1000);
    ASSERT_EQ(mixer.ready_frames(1000 + MIX_WAIT_US, ANY), 50u);
    EXPECT_FALSE(mixer.take(50, out));
    EXPECT_FLOAT_EQ(out[0], 0.25f) << "stream 2 counted as silent";
    // Stream 2's burst: 50 frames of the stretch already out (marked 0.125), then 10 current ones.
    std::vector<float> burst = frames_of(0.125f, 50);
    const std::vector<float> current = frames_of(0.5f, 10);
    burst.insert(burst.end(), current.begin(), current.end());
    mixer.push(2, burst.data(), 60, 200000);
    push(mixer, 1, 0.25f, 10, 200000);
    ASSERT_EQ(mixer.ready_frames(200000, ANY), 10u);
    (void)mixer.take(10, out);
    EXPECT_FLOAT_EQ(out[0], 0.75f);
    EXPECT_FLOAT_EQ(out[19], -0.75f);
    EXPECT_EQ(mixer.queued_frames(2), 0u);
}

TEST(StreamMixer, DebtIsBounded) {
    StreamMixer mixer;
    std::vector<float> out;
    start_two_streams(mixer, 1, out);
    push(mixer, 1, 0.25f, 2 * MAX_DEBT_FRAMES, 1000);
    ASSERT_EQ(mixer.ready_frames(1000 + MIX_WAIT_US, ANY), 2 * MAX_DEBT_FRAMES);
    (void)mixer.take(2 * MAX_DEBT_FRAMES, out);
    push(mixer, 2, 0.5f, MAX_DEBT_FRAMES + 5, 2000000);
    EXPECT_EQ(mixer.queued_frames(2), 5u) << "at most MAX_DEBT_FRAMES dropped";
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
    {"late frames of a lagging stream dropped", [](StreamMixer& mixer) {
         std::vector<float> out;
         push(mixer, 1, 0.25f, 50, 1000);
         (void)mixer.take(mixer.ready_frames(1000 + MIX_WAIT_US, ANY), out);
         push(mixer, 2, 0.5f, 60, 200000);  // 50 late frames dropped, 10 current ones
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
        push(mixer, 1, 0.25f, 10, 200000);
        const std::size_t due = mixer.ready_frames(200000 + MIX_WAIT_US, ANY);
        ASSERT_GT(due, 0u);
        EXPECT_EQ(mixer.take(due, out), c.flagged);
        push(mixer, 1, 0.25f, 2, 400000);
        push(mixer, 2, 0.5f, 2, 400000);
        EXPECT_FALSE(mixer.take(mixer.ready_frames(400000 + MIX_WAIT_US, ANY), out))
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
