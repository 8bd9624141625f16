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
// schedule, and bursts 40-200 ms apart were measured on a loaded machine, 180 ms and more when
// an application plays on two sinks) would hold the others back, so the mix waits for a lagging
// stream its wait bound from its last delivery (one that has not delivered yet: from the oldest
// current frame, below, of any stream), and no current frame waits longer than MAX_WAIT_US;
// then the mix advances by the most any stream holds and treats the lagging stream as silent
// for that stretch. Waiting from the lagging stream's own last delivery, not from the age of the
// others' frames, keeps a burst-wise stream whole when another stream runs ahead of it (PipeWire
// hands a new monitor stream a backlog, which then stays queued). Each stream remembers when
// each delivery arrived, so frames that have waited that long stay due however many packets
// they take (a packet holds at most what the packet loop can pass on), and the wait adds no
// latency that outlasts the lag. The latency the mixer adds is therefore 0 with one stream,
// about 0 for streams in step, at most MAX_WAIT_US while one lags, and for a late stream's own
// audio its lateness (below) until it has made that up.
//
// The bound is MIX_WAIT_US for a stream until its late frames arrive in a burst (it lagged
// because the server held it back, not because it stopped): from then on the mix waits for it
// longer by as much as it was late, up to MAX_WAIT_US, so the server's next burst of it finds
// the mix still waiting rather than cutting a gap into it.
//
// Late frames: a live stream that has delivered before and has nothing when the mix advances
// without it is late by that stretch (it got silence there). Its frames that arrive afterwards
// are kept, none is dropped: a server that delivers a stream in bursts (PipeWire holds a stream
// back 40-200 ms when its application plays on two sinks) sends the late audio whole, and that
// audio may be speech. The stream then plays behind the others by its lateness, which counts
// against its queue: of the frames it holds, only those beyond its lateness are current, and the
// mix advances by current frames only (the fewest any live stream holds, or after the wait the
// most any stream holds). Late frames therefore never make the mix run ahead of time, however
// many streams lag in turn. A stream makes up its lateness out of its own pauses (whole
// milliseconds below SILENCE_LEVEL): every other millisecond of a pause is dropped, up to
// MAX_PAUSE_CUT_FRAMES of one pause, so a pause is shortened but never closed (words stay apart)
// and no sound is lost. Lateness is bounded by MAX_LATE_FRAMES (what a stream adds to the latency),
// which must outlast the longest hold a server puts on a stream (PipeWire held one for a second
// on a loaded machine): lateness counted short makes the rest of a burst count as current, and the
// mix then runs ahead of time by it. A stream that just joined, or resumed after a pause, is not
// late. Nor is a stream behind a mix that stands still: when no stream holds a current frame, a
// late stream's frames have waited MIX_WAIT_US and the mix has not advanced for as long, the late
// streams are let off as much lateness as the mix has stood still. Nor, finally, is a stream that delivers at its pace again
// (deliveries no more than STEADY_GAP_US apart for STEADY_LET_OFF_US) while it still holds no
// current frame: the rest of its lateness is not on its way in a burst (a sink that was
// suspended resumes where it stopped), and waiting for it would hold every other stream back for
// good. What it holds is then current, and is mixed at the pace of the others.
//
// Paused streams (a corked player, which the server does not render) do not hold the mix back.
//
// Joining and leaving: add_stream makes a stream live (it holds the mix back, within the bound,
// until it delivers); finish_stream says it sends no more than what is on its way: it no longer
// holds the mix back, and what it still delivers is mixed as it comes; remove_stream ends it: its
// frames still queued are mixed out, and it is forgotten once empty.
//
// Gaps: the discontinuity flag of a mixed packet means the mixed timeline skips there (the
// capture worker then discards the partial chunk it holds), so it is set only where it does:
// an overflow (data lost, length unknown), the part of a reported hole beyond MAX_GAP_FRAMES,
// and a stream whose FIFO outgrows MAX_QUEUED_FRAMES (its clock runs ahead of another stream's,
// or the packet loop cannot hand its frames on) and loses its oldest frames. A hole the server
// reports is filled with silence of its length (so the streams stay aligned) and the timeline
// goes on unbroken, as it does where a lagging stream gets silence.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace tamsel::host::linux_host {

inline constexpr std::size_t MIX_CHANNELS = 2;
inline constexpr std::int64_t MIX_RATE = 48000;
inline constexpr std::int64_t MIX_WAIT_US = 250000;        // 250 ms
inline constexpr std::int64_t MAX_WAIT_US = 400000;        // 400 ms
inline constexpr std::size_t MAX_LATE_FRAMES = 48000;       // 1 s: below the queue's bound
inline constexpr std::int64_t STEADY_GAP_US = 30000;        // 3 fragments: still delivering at pace
inline constexpr std::int64_t STEADY_LET_OFF_US = 100000;   // 100 ms
inline constexpr std::size_t SILENT_RUN_FRAMES = 48;        // 1 ms: what a late stream drops at once
inline constexpr std::size_t MAX_PAUSE_CUT_FRAMES = 2400;   // 50 ms: what it drops of one pause
inline constexpr float SILENCE_LEVEL = 0.0005f;             // about -66 dBFS
inline constexpr std::size_t MAX_QUEUED_FRAMES = 72000;     // 1.5 s: late, waiting, and a backlog
inline constexpr std::size_t MAX_GAP_FRAMES = 48000;        // a reported hole is filled up to 1 s

class StreamMixer {
public:
    void add_stream(std::uint32_t id);
    // The stream no longer holds the mix back; frames it still delivers are mixed as they come.
    void finish_stream(std::uint32_t id);
    // The stream delivers nothing more: its queued frames are still mixed out, then it is forgotten.
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
    std::size_t ready_frames(std::int64_t now_us, std::size_t max_frames);
    // Mixes `frames` frames (as ready_frames gave them) into `out` (resized to frames * 2).
    // Returns true when the packet starts after a gap (discontinuity).
    bool take(std::size_t frames, std::vector<float>& out);

    // Any stream holds frames not mixed yet.
    bool has_queued() const;
    bool has_stream(std::uint32_t id) const { return streams_.count(id) != 0; }
    std::size_t live_streams() const;
    std::size_t queued_frames(std::uint32_t id) const;

private:
    // The pause a stream is in: silent frames heard, and of those dropped.
    struct Pause {
        std::size_t heard = 0;
        std::size_t cut = 0;
    };
    struct Stream {
        std::vector<float> samples;  // queued frames, interleaved, from `head` on
        std::size_t head = 0;        // first unmixed sample
        std::uint64_t received = 0;  // frames queued since the stream joined
        std::uint64_t consumed = 0;  // of those, frames mixed or dropped
        // One entry per delivery not wholly consumed: (`received` after it, its arrival time).
        std::deque<std::pair<std::uint64_t, std::int64_t>> arrivals;
        bool ending = false;      // finished or removed: it no longer holds the mix back
        bool removed = false;     // forgotten once empty
        bool paused = false;
        bool delivered = false;   // has delivered since it joined or resumed
        std::size_t late = 0;     // frames mixed without it while it lagged, not made up yet
        std::int64_t wait_us = MIX_WAIT_US;  // how long the mix waits for it when it lags
        std::int64_t last_arrival_us = 0;    // of its last delivery (delivered)
        std::int64_t steady_since_us = -1;   // delivering at pace while late, without a current frame
        Pause pause;
        bool holds_back() const { return !ending && !paused; }
        std::size_t frames() const { return (samples.size() - head) / MIX_CHANNELS; }
        // Queued frames beyond its lateness: those that play now.
        std::size_t current() const { return frames() > late ? frames() - late : 0; }
        // Arrival of the oldest current frame (current() > 0).
        std::int64_t current_since() const;
    };
    void append(Stream& stream, const float* samples, std::size_t frames, std::int64_t now_us);
    // Queues frames as they are (`samples` null: silence).
    static void queue(Stream& stream, const float* samples, std::size_t frames);
    void compact(Stream& stream);
    // Frames leave the front of the stream's queue (mixed, or dropped when it outgrew its bound).
    static void consume(Stream& stream, std::size_t frames);

    std::map<std::uint32_t, Stream> streams_;
    bool discontinuity_ = false;
    std::int64_t now_us_ = 0;          // as of the last ready_frames
    std::int64_t advanced_at_us_ = 0;  // when the mix last advanced
    std::int64_t let_off_at_us_ = 0;   // when late streams were last let off a stand-still
};

}  // namespace tamsel::host::linux_host
