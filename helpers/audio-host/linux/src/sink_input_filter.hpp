#pragma once
// Which playback streams (PulseAudio sink inputs) a capture takes, by the process that plays
// them (the stream's "application.process.id"):
//   - include_tree (a Process target): streams of the target and its descendants;
//   - exclude tree (System): every stream except those of the translator and its descendants,
//     streams that name no process included.
// A parent walk that fails (a cycle in the table) takes nothing: the stream is left out.
//
// And what to do with a sink input's monitor stream each time the server describes the sink
// input (when it appears and on every change):
//   - a new sink input that is not linked to a sink yet (NO_SINK; PipeWire's server announces a
//     new stream before its session manager has linked it, and links it a few milliseconds later
//     with a change event) gets its monitor stream at once, naming no source: the session
//     manager then links the monitor stream while it links the player instead of a few quanta
//     after it, and its sink is taken as the monitored one once it is linked;
//   - a sink input seen linked before that shows NO_SINK again (PulseAudio, for the moment of a
//     move) is left as it is until it is linked;
//   - a stream whose sink's monitor source is not known yet waits for the sink's description;
//   - a sink input that plays on another sink than its monitor stream records from has moved:
//     its monitor stream is opened again on the new sink.

#include <cstdint>
#include <optional>

#include "capture_source.hpp"
#include "process_api.hpp"

namespace tamsel::host::linux_host {

bool sink_input_selected(const LoopbackSelection& selection, std::optional<std::uint32_t> player_pid,
                         const ProcessTable& table);

inline constexpr std::uint32_t NO_SINK = 0xFFFFFFFFu;  // the protocol's invalid index

enum class MonitorAction {
    Keep,    // nothing to do
    Wait,    // the sink's monitor source is not known yet
    Open,    // open a monitor stream on the sink input's sink
    OpenUnlinked,  // open a monitor stream on the sink input alone, before it is linked
    Reopen,  // end the monitor stream and open one on the sink input's (new) sink
    Close,   // end the monitor stream
};

// `monitored_sink`: the sink the sink input's open monitor stream records from, if one is open
// (NO_SINK for one opened before the sink input was linked); `ever_linked`: the sink input has
// been seen linked to a sink before.
MonitorAction plan_monitor(bool selected, std::uint32_t sink, std::optional<std::uint32_t> monitored_sink,
                           bool sink_known, bool ever_linked);

}  // namespace tamsel::host::linux_host
