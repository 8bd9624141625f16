#include "capture_run.hpp"

#include <variant>

#include "capture_run_impl.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::host {

LoopbackSelection loopback_selection(const CaptureRequest& request) noexcept {
    if (const auto* process = std::get_if<ProcessTarget>(&request.target)) {
        return LoopbackSelection{process->pid, true};
    }
    return LoopbackSelection{request.excluded_pid, false};
}

void CaptureRunPlatform::write_stderr_line(std::string_view line) { tamsel::write_stderr_line(line); }

Status run_capture(const CaptureRequest& request, CaptureRunPlatform& platform) {
    return run_capture_with<capture::CaptureWorker>(
        request, platform,
        [](std::uint16_t channels, std::uint32_t rate, std::size_t capacity, capture::OutputFailedFlag output_failed) {
            return capture::start_capture_worker(channels, rate, capacity, std::move(output_failed));
        });
}

}  // namespace tamsel::host
