#pragma once
// Capture mode on Linux: the portable capture run over /proc, PulseAudio and POSIX signals.
//   - no apartment to enter;
//   - the source is the PulseAudio client (pulse_capture.hpp);
//   - the stop handler: SIGINT and SIGTERM store stop_requested (release) and nothing else;
//   - the format event's backend is "pulseaudio-sink-input-monitor".

#include <atomic>
#include <memory>
#include <string_view>

#include "capture_run.hpp"
#include "command_line.hpp"
#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host::linux_host {

inline constexpr std::string_view LINUX_CAPTURE_BACKEND = "pulseaudio-sink-input-monitor";

// Installs the SIGINT and SIGTERM handlers that set the process-wide stop flag. Fails with
// "console stop handler: ...".
Status install_signal_stop_handler();
const std::atomic<bool>& signal_stop_requested() noexcept;

// Standard output closed by its reader must set output_failed, not end the process: a write
// then fails with EPIPE instead of raising SIGPIPE. Called first thing in main.
void ignore_broken_pipe_signal() noexcept;

class LinuxCaptureRunPlatform final : public CaptureRunPlatform {
public:
    explicit LinuxCaptureRunPlatform(ProcessApi& processes) : processes_(processes) {}

    ProcessApi& processes() override { return processes_; }
    Status enter_apartment() override { return ok(); }
    void leave_apartment() noexcept override {}
    Result<std::unique_ptr<CaptureClient>> open_source(const LoopbackSelection& selection) override;
    Status install_stop_handler() override { return install_signal_stop_handler(); }
    const std::atomic<bool>& stop_requested() const override { return signal_stop_requested(); }
    std::string_view backend_name() const override { return LINUX_CAPTURE_BACKEND; }

private:
    ProcessApi& processes_;
};

Status run_capture_linux(const CaptureRequest& request, ProcessApi& processes);

}  // namespace tamsel::host::linux_host
