#pragma once
// The capture stream on Linux: a PulseAudio client (PipeWire serves the same protocol through
// pipewire-pulse) that records the playback streams of the selected processes.
//
// For every sink input whose "application.process.id" the selection takes (sink_input_filter),
// the client opens a monitor stream of that one sink input (pa_stream_set_monitor_stream,
// recording from its sink's monitor source) as float32le stereo 48000 Hz, in 10 ms fragments.
// It subscribes to sink and sink-input events and looks at a sink input again on every change,
// so streams that start later are picked up once they are linked to a sink (PipeWire's server
// announces them before its session manager links them), moved streams are followed and
// streams that end are let go of: a monitor stream is kept after its sink input's removal until
// the server ends it (at most PULSE_DRAIN_US), for whatever the server still sends of it. The
// StreamMixer sums the streams into the packets the packet loop reads; server-reported holes
// and overflows become the packets' discontinuity flag.
//
// Threading: one pa_mainloop, driven only from wait_for_packet (and from open/start while they
// wait for the server), so every PulseAudio callback runs on the packet loop's thread and the
// mixer needs no lock. The wait is bounded by its timeout like the Windows event wait.
//
// Packets: at most buffer_frames() (100 ms) frames each; a packet is due when every live stream
// has delivered, or a bounded wait after the oldest unmixed frame arrived (stream_mixer.hpp).
// When nothing selected plays, no packets come and standard output stays quiet. The server
// sends what it rendered while this process was held up all at once, and the capture worker may
// be held up itself (a loaded machine, a reader that is slow to read): the sample queue holds
// about 340 ms, so packets are cut to the room the queue has (set_packet_room), and while it
// has none the main loop looks again every PULSE_ROOM_POLL_US, taking in what the server sends
// meanwhile. A backlog thus goes over as fast as the worker takes it, and the queue drops
// nothing while the mixer can hold the rest (MAX_QUEUED_FRAMES).
//
// A stream's start: a monitor stream receives what its sink renders from the sink input after
// the monitor stream exists. A sink renders ahead by its latency, which on an idle PulseAudio
// sink (a null sink, an ALSA sink with timer scheduling) is up to 2 s: the first block of a new
// stream is rendered the moment the stream starts, before any client can attach a monitor
// stream to it, and was lost whole. So while it captures, the client holds every sink at
// ANCHOR_LATENCY_US: one peak-detect record stream on each sink's monitor source asks for that
// latency (a fragment of one float peak, 10 ms at 100 peaks a second). The anchor stays corked:
// the server holds the sink at the latency the stream asked for all the same (PulseAudio: `pactl
// list sinks` shows it configured at 10000 usec), but sends it nothing, so it never wakes this
// process, and it does not keep a sink from suspending (a running anchor costs 100 wakeups a
// second per running sink). A new stream is then rendered 10 ms at a time and its monitor
// stream, opened two round trips after the stream appears (sink input description, record
// stream; the sinks' monitor sources are known beforehand), misses at most about one block.
// PipeWire's server announces a stream before its session manager links it, and the session
// manager links a monitor stream only after the stream it records: the monitor stream is
// therefore opened the moment the stream is announced (naming no source, sink_input_filter.hpp),
// so both are linked in one pass instead of a few quanta apart. Measured with speech aligned
// against what was played: 0-10 ms lost at a stream's start on PulseAudio (1960 ms without the
// anchor); on PipeWire, with corked anchors, 0 ms at the median and at most 43 ms in 30 rounds on
// a quiet machine (up to 150 ms with builds loading both cores). A stream that was already
// playing when the capture began still lacks what its sink had rendered ahead
// before the anchor existed (up to 2 s on PulseAudio).
//
// Latency: a monitor stream delivers 10 ms fragments as the sink renders; the mixer adds nothing
// for one stream (stream_mixer.hpp for several). Measured on a null sink with a player buffering
// 20 ms: about 25-40 ms from the player's write to the first 20 ms chunk on standard output. A
// sink input that moves to another sink ends its monitor stream (on PulseAudio the server ends
// it); it is monitored again on its new sink.
//
// Errors: "connect to PulseAudio: ..." (open), "start process capture: ..." (start),
// "PulseAudio connection: ..." when the server goes away, "capture stream: ..." when a monitor
// stream cannot be created or fails for another reason than its sink input ending; the last two
// come back from next_packet_size and end the run. An anchor that cannot be made costs only the
// start of new streams on its sink and ends nothing.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture_source.hpp"
#include "process_api.hpp"
#include "stream_mixer.hpp"
#include "tamsel/audio/result.hpp"

#include <pulse/pulseaudio.h>

namespace tamsel::host::linux_host {

inline constexpr std::uint32_t PULSE_PACKET_FRAMES = 4800;      // 100 ms
inline constexpr std::uint32_t PULSE_FRAGMENT_FRAMES = 480;     // 10 ms
inline constexpr std::uint32_t PULSE_CONNECT_TIMEOUT_MS = 5000;
inline constexpr std::uint32_t ANCHOR_PEAKS_PER_SECOND = 100;  // one peak per 10 ms: the sinks' latency
// While the packets' consumer has no room, the wait looks again this often.
inline constexpr std::int64_t PULSE_ROOM_POLL_US = 2000;
// How long the monitor stream of a sink input that ended is kept for what is still on its way.
inline constexpr std::int64_t PULSE_DRAIN_US = 1000000;

class PulseCaptureClient final : public CaptureClient {
public:
    // Connects to the server (the one libpulse finds through PULSE_SERVER, XDG_RUNTIME_DIR or
    // the client configuration; never spawns one). The process API serves the tree filter.
    static Result<std::unique_ptr<PulseCaptureClient>> open(const LoopbackSelection& selection, ProcessApi& processes);

    PulseCaptureClient(const PulseCaptureClient&) = delete;
    PulseCaptureClient& operator=(const PulseCaptureClient&) = delete;
    ~PulseCaptureClient() override;

    WaitOutcome wait_for_packet(std::uint32_t timeout_ms) override;
    Result<std::uint32_t> next_packet_size() override;
    Result<CapturePacket> get_buffer() override;
    Status release_buffer(std::uint32_t frames) override;
    std::uint32_t buffer_frames() const override { return PULSE_PACKET_FRAMES; }
    Status start() override;
    void stop() noexcept override;
    void set_packet_room(const PacketRoom* room) noexcept override { room_ = room; }

    // Sink inputs with an open monitor stream (for tests and diagnostics).
    std::size_t monitored_streams() const { return streams_.size(); }
    // Sinks held at the anchor latency (for tests and diagnostics).
    std::size_t anchored_sinks() const { return anchors_.size(); }

private:
    // A record stream of this client: a sink input's monitor stream or a sink's latency anchor.
    struct ServerStream;
    using StreamMap = std::map<std::uint32_t, std::unique_ptr<ServerStream>>;

    PulseCaptureClient(const LoopbackSelection& selection, ProcessApi& processes);

    // One pass of the main loop, waiting at most timeout_us. False on a main loop failure.
    bool iterate(std::int64_t timeout_us);
    void request_sink_input(std::uint32_t sink_input);
    void request_sink(std::uint32_t sink);
    void consider_sink_input(const pa_sink_input_info& info);
    void apply_plan(std::uint32_t sink_input, std::uint32_t sink);
    void sink_described(const pa_sink_info& info);
    void sink_removed(std::uint32_t sink);
    void open_monitor_stream(std::uint32_t sink_input, std::uint32_t sink);
    void open_anchor(std::uint32_t sink, const char* monitor_source);
    void end_stream(std::uint32_t sink_input);
    // A sink input ended: its monitor stream is kept for what the server still sends of it,
    // until the server ends it or PULSE_DRAIN_US has passed.
    void drain_stream(std::uint32_t sink_input);
    void end_drain(std::uint32_t sink_input);
    void end_drains_due(std::int64_t now);
    // Moves a stream out of its map; it is freed once the running callback has returned.
    void retire(StreamMap& streams, std::uint32_t key);
    void forget_sink_input(std::uint32_t sink_input);
    void set_failure(std::string text);
    // Frames the packets' consumer takes now (no limit without one).
    std::size_t room() const noexcept;

    static void on_context_state(pa_context* context, void* self);
    static void on_subscription(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);
    static void on_sink_input(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    static void on_sink(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void on_read(pa_stream* stream, std::size_t bytes, void* monitor);
    static void on_anchor_read(pa_stream* stream, std::size_t bytes, void* anchor);
    static void on_overflow(pa_stream* stream, void* monitor);
    static void on_stream_state(pa_stream* stream, void* monitor);
    static void on_anchor_state(pa_stream* stream, void* anchor);

    LoopbackSelection selection_;
    ProcessApi& processes_;
    pa_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
    bool stopping_ = false;

    StreamMixer mixer_;
    StreamMap streams_;                                     // monitor streams by sink input
    StreamMap draining_;                                    // those of sink inputs that ended
    StreamMap anchors_;                                     // latency anchors by sink
    std::map<std::uint32_t, bool> selected_;                // sink input -> taken (decided once)
    std::set<std::uint32_t> linked_;                        // sink inputs seen linked to a sink
    std::map<std::uint32_t, std::uint32_t> awaiting_sink_;  // sink input -> its undescribed sink
    std::map<std::uint32_t, std::string> monitor_sources_;  // sink -> its monitor source
    // Streams that ended inside a callback, freed after the callback has returned.
    std::vector<std::unique_ptr<ServerStream>> ended_;
    std::optional<std::string> failure_;

    const PacketRoom* room_ = nullptr;
    std::uint32_t pending_frames_ = 0;
    std::vector<float> packet_;
};

}  // namespace tamsel::host::linux_host
