#pragma once
// Which playback streams (PulseAudio sink inputs) a capture takes, by the process that plays
// them (the stream's "application.process.id"):
//   - include_tree (a Process target): streams of the target and its descendants;
//   - exclude tree (System): every stream except those of the translator and its descendants,
//     streams that name no process included.
// A parent walk that fails (a cycle in the table) takes nothing: the stream is left out.

#include <cstdint>
#include <optional>

#include "capture_source.hpp"
#include "process_api.hpp"

namespace tamsel::host::linux_host {

bool sink_input_selected(const LoopbackSelection& selection, std::optional<std::uint32_t> player_pid,
                         const ProcessTable& table);

}  // namespace tamsel::host::linux_host
