// Capture mode on Windows: the portable capture run over the process-loopback source, the COM
// multithreaded apartment and the console control handler.
#include "capture_run_win.hpp"

#include <objbase.h>

#include "capture_run.hpp"
#include "console_stop_win.hpp"
#include "loopback_source_win.hpp"
#include "system_error_win.hpp"

namespace tamsel::host::win {
namespace {

class WindowsCaptureRunPlatform final : public CaptureRunPlatform {
public:
    explicit WindowsCaptureRunPlatform(ProcessApi& processes) : processes_(processes) {}

    ProcessApi& processes() override { return processes_; }

    Status enter_apartment() override {
        // S_FALSE (already initialised as MTA on this thread) is success and needs its own
        // CoUninitialize, like S_OK.
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) return fail(com_context_error("COM MTA", hr));
        return ok();
    }
    void leave_apartment() noexcept override { CoUninitialize(); }

    Result<std::unique_ptr<CaptureClient>> open_source(const LoopbackSelection& selection) override {
        return open_process_loopback_source(selection);
    }

    Status install_stop_handler() override { return install_console_stop_handler(); }
    const std::atomic<bool>& stop_requested() const override { return win::stop_requested(); }

    std::string_view backend_name() const override { return "wasapi-process-loopback"; }

private:
    ProcessApi& processes_;
};

}  // namespace

Status run_capture_windows(const CaptureRequest& request, ProcessApi& processes) {
    WindowsCaptureRunPlatform platform(processes);
    return run_capture(request, platform);
}

}  // namespace tamsel::host::win
