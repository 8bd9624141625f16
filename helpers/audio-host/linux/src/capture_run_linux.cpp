#include "capture_run_linux.hpp"

#include <signal.h>

#include <cerrno>

#include "error_text.hpp"
#include "pulse_capture.hpp"

namespace tamsel::host::linux_host {
namespace {

std::atomic<bool> stop_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_stop_signal(int) { stop_flag.store(true, std::memory_order_release); }

}  // namespace

Status install_signal_stop_handler() {
    struct sigaction action {};
    action.sa_handler = &on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking poll returns early and the loop looks at the flag
    for (const int signal_number : {SIGINT, SIGTERM}) {
        if (::sigaction(signal_number, &action, nullptr) != 0) return fail(os_error_context_text("console stop handler", errno));
    }
    return ok();
}

const std::atomic<bool>& signal_stop_requested() noexcept { return stop_flag; }

void ignore_broken_pipe_signal() noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGPIPE, &action, nullptr);
}

Result<std::unique_ptr<CaptureClient>> LinuxCaptureRunPlatform::open_source(const LoopbackSelection& selection) {
    Result<std::unique_ptr<PulseCaptureClient>> client = PulseCaptureClient::open(selection, processes_);
    if (!client) return client.error_result();
    return std::unique_ptr<CaptureClient>(std::move(*client));
}

Status run_capture_linux(const CaptureRequest& request, ProcessApi& processes) {
    LinuxCaptureRunPlatform platform(processes);
    return run_capture(request, platform);
}

}  // namespace tamsel::host::linux_host
