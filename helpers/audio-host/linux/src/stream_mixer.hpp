#pragma once
// Mixes the captured playback streams (one monitor stream per sink input) into one stereo
// float stream for the packet loop. Single-threaded: the PulseAudio callbacks and the packet
// loop run on the same thread.
//
// Alignment: every stream keeps a FIFO of the frames it delivered that are not mixed yet. The
// mix advances by the frames that EVERY live stream has delivered (the minimum over the live
// streams), so frames played at the same moment are summed together. Streams that deliver in
// step (monitor streams of sink inputs of one sink do: the sink renders them together) add no
// delay.
//
// Bounded wait: a live stream that delivers nothing (a stream that just joined, a stalled one,
// one the server delivers in bursts: PipeWire's server sends each monitor stream on its own
// schedule, and bursts 50-100 ms apart were measured on a loaded machine) would hold the others
// back, so once the oldest unmixed frame of any stream has waited MIX_WAIT_US, the mix advances
// by the most any stream holds and treats the lagging stream as silent for that stretch. Each
// stream remembers when each delivery arrived, so frames that have waited that long stay due
// however many packets they take (a packet holds at most what the packet loop can pass on),
// and a lag adds no latency that outlasts it. The latency the mixer adds is therefore 0 with
// one stream, about 0 for streams in step, and at most MIX_WAIT_US when one lags.
//
// Staying aligned: a stream that has delivered before and lags owes the frames mixed without
// it. Its late frames belong to that stretch, which has gone out already (with silence in their
// place, so the mix itself skips nothing and is not flagged): they are dropped, so it stays in step with the others instead of running behind them from
// then on (which would lengthen the mix a little at every lag). The debt is bounded by
// MAX_DEBT_FRAMES; a stream that just joined, or resumed after a pause, owes nothing, so its
// first frames are never dropped.
//
// Paused streams (a corked player, which the server does not render) do not hold the mix back.
//
// Joining and leaving: add_stream makes a stream live (it holds the mix back, within the bound,
// until it delivers); remove_stream ends it: its frames still queued are mixed out, it no longer
// holds the mix back, and it is forgotten once empty.
//
// Gaps: the discontinuity flag of a mixed packet means the mixed timeline skips there (the
// capture worker then discards the partial chunk it holds), so it is set only where it does:
// an overflow (data lost, length unknown), the part of a reported hole beyond MAX_GAP_FRAMES,
// and a stream whose FIFO outgrows MAX_QUEUED_FRAMES (its clock runs ahead of another stream's,
// or the packet loop cannot hand its frames on) and loses its oldest frames. A hole the server
// reports is filled with silence of its length (so the streams stay aligned) and the timeline
// goes on unbroken, as it does where a lagging stream's late frames are dropped.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace tamsel::host::linux_host {

inline constexpr std::size_t MIX_CHANNELS = 2;
inline constexpr std::int64_t MIX_WAIT_US = 150000;        // 150 ms
inline constexpr std::size_t MAX_DEBT_FRAMES = 12000;       // 250 ms at 48000 Hz
inline constexpr std::size_t MAX_QUEUED_FRAMES = 24000;     // 500 ms at 48000 Hz
inline constexpr std::size_t MAX_GAP_FRAMES = 48000;        // a reported hole is filled up to 1 s

class StreamMixer {
public:
    void add_stream(std::uint32_t id);
    // The stream's queued frames are still mixed out; it no longer holds the mix back.
    void remove_stream(std::uint32_t id);
    // A paused stream does not hold the mix back; resumed, it owes nothing.
    void set_paused(std::uint32_t id, bool paused);
    // Interleaved stereo float frames of one stream, delivered at `now_us` (a monotonic clock).
    // Frames of an unknown stream are ignored.
    void push(std::uint32_t id, const float* samples, std::size_t frames, std::int64_t now_us);
    // A hole of `frames` frames the server reported in one stream.
    void push_gap(std::uint32_t id, std::size_t frames, std::int64_t now_us);
    // Data lost somewhere (length unknown): the next mixed packet is flagged.
    void mark_discontinuity() noexcept { discontinuity_ = true; }

    // Frames the next take() mixes at `now_us`, at most `max_frames`; 0 when nothing is due.
    std::size_t ready_frames(std::int64_t now_us, std::size_t max_frames) const;
    // Mixes `frames` frames (as ready_frames gave them) into `out` (resized to frames * 2).
    // Returns true when the packet starts after a gap (discontinuity).
    bool take(std::size_t frames, std::vector<float>& out);

    // Any stream holds frames not mixed yet.
    bool has_queued() const;
    bool has_stream(std::uint32_t id) const { return streams_.count(id) != 0; }
    std::size_t live_streams() const;
    std::size_t queued_frames(std::uint32_t id) const;

private:
    struct Stream {
        std::vector<float> samples;  // queued frames, interleaved, from `head` on
        std::size_t head = 0;        // first unmixed sample
        std::uint64_t received = 0;  // frames queued since the stream joined
        std::uint64_t consumed = 0;  // of those, frames mixed or dropped
        // One entry per delivery not wholly consumed: (`received` after it, its arrival time).
        std::deque<std::pair<std::uint64_t, std::int64_t>> arrivals;
        // Arrival of the oldest unmixed frame (frames() > 0).
        std::int64_t waiting_since() const { return arrivals.front().second; }
        bool ending = false;
        bool paused = false;
        bool delivered = false;   // has delivered since it joined or resumed
        std::size_t debt = 0;     // frames mixed without it while it lagged
        bool holds_back() const { return !ending && !paused; }
        std::size_t frames() const { return (samples.size() - head) / MIX_CHANNELS; }
    };
    void append(Stream& stream, const float* samples, std::size_t frames, std::int64_t now_us);
    void compact(Stream& stream);
    // Frames leave the front of the stream's queue (mixed, or dropped when it outgrew its bound).
    static void consume(Stream& stream, std::size_t frames);

    std::map<std::uint32_t, Stream> streams_;
    bool discontinuity_ = false;
};

}  // namespace tamsel::host::linux_host
