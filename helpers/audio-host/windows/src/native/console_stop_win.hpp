#pragma once
// The console control handler of capture mode: every control event (Ctrl+C, Ctrl+Break, close,
// logoff, shutdown) only sets the process-wide stop flag, and the packet loop ends at its next
// pass.
#include <windows.h>

#include <atomic>

#include "tamsel/audio/result.hpp"

namespace tamsel::host::win {

// Process-wide, false until a control event arrives, never cleared.
const std::atomic<bool>& stop_requested() noexcept;

// The handler itself: for every control event type, and any other value, it sets the stop flag
// (release) and answers TRUE (handled), so the system's default action (ending the process
// without an event line) never runs once it is installed.
BOOL WINAPI console_stop_handler(DWORD control_event);

// SetConsoleCtrlHandler(console_stop_handler, TRUE); fails with "console stop handler: ...". The handler
// stays installed until the process ends.
Status install_console_stop_handler();

}  // namespace tamsel::host::win
