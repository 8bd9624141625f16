#pragma once
// Capture mode on Windows: the process-loopback capture run.
#include "command_line.hpp"
#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host::win {

Status run_capture_windows(const CaptureRequest& request, ProcessApi& processes);

}  // namespace tamsel::host::win
