#include "console_stop_win.hpp"

#include "system_error_win.hpp"

namespace tamsel::host::win {
namespace {

// Written by the handler on a thread the system creates, read by the packet loop.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler may only touch a lock-free flag");

}  // namespace

BOOL WINAPI console_stop_handler(DWORD) {
    g_stop_requested.store(true, std::memory_order_release);
    return TRUE;
}

const std::atomic<bool>& stop_requested() noexcept { return g_stop_requested; }

Status install_console_stop_handler() {
    if (!SetConsoleCtrlHandler(&console_stop_handler, TRUE)) {
        return fail(context_error_from_last_error("console stop handler"));
    }
    return ok();
}

}  // namespace tamsel::host::win
