#pragma once
// The console control handler of capture mode: every control event (Ctrl+C, Ctrl+Break, close,
// logoff, shutdown) only sets the process-wide stop flag, and the packet loop ends at its next
// pass.
#include <atomic>

#include "tamsel/audio/result.hpp"

namespace tamsel::host::win {

// Process-wide, false until a control event arrives, never cleared.
const std::atomic<bool>& stop_requested() noexcept;

// SetConsoleCtrlHandler(handler, TRUE); fails with "console stop handler: ...". The handler
// stays installed until the process ends.
Status install_console_stop_handler();

}  // namespace tamsel::host::win
