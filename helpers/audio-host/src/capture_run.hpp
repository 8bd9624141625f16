#pragma once
// Capture mode from start to end, over a small platform interface so that the same run serves
// Windows (process loopback) and Linux (PulseAudio), and is tested with a scripted source.
//
// run_capture, in this order (an error at any step takes down what exists and returns it):
//   1. validate_target (process table, tree rules, identities)
//   2. platform.enter_apartment()                         ("COM MTA: ...")
//   3. platform.open_source(selection)                    (the source's own errors)
//   4. output_failed := false; start_capture_worker(2, 48000, 32, output_failed)
//   5. platform.install_stop_handler()                    ("console stop handler: ...")
//   6. translator (and target) still running, else "selected or parent process exited before capture"
//   7. the format event line, on standard error through platform.write_stderr_line
//   8. client.start()                                     ("start process capture: ...")
//   9. capture_packets until a stop condition; its result is the run's result
// Take-down, only of what exists: client.stop(); worker: release_producer, stop; output_failed;
// client destroyed; leave_apartment (after a successful step 2 only); target's and translator's
// handles closed. Nothing in the take-down can replace the run's result.
//
// Normal ends (success): stop_requested, output_failed, the translator exited. Errors: "selected
// process exited" (a Process target ended), the packet-loop errors, and the worker's failure
// ("capture worker: out of memory") when its thread ended early.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "capture_source.hpp"
#include "command_line.hpp"
#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host {

// Loopback selection for a request: the target's tree included for a Process target, the
// translator's (excluded pid's) tree excluded for System.
LoopbackSelection loopback_selection(const CaptureRequest& request) noexcept;

// What the run needs from the platform. All calls come from the run's thread.
class CaptureRunPlatform {
public:
    virtual ~CaptureRunPlatform() = default;

    // Process table and identities for validate_target; the identities' handles also serve the
    // liveness checks of the run and the packet loop.
    virtual ProcessApi& processes() = 0;

    // Windows: CoInitializeEx(COINIT_MULTITHREADED) on the calling thread, failing with
    // "COM MTA: ..."; leave_apartment is called once after a successful enter. Linux: no-ops.
    virtual Status enter_apartment() = 0;
    virtual void leave_apartment() noexcept = 0;

    // An initialised, not yet started capture stream for the selection. Never null on success.
    virtual Result<std::unique_ptr<CaptureClient>> open_source(const LoopbackSelection& selection) = 0;

    // Installs the console (or signal) stop handler, which only sets stop_requested() with a
    // release store. It stays installed until the process ends. Fails with
    // "console stop handler: ...".
    virtual Status install_stop_handler() = 0;
    // Process-wide, never cleared; read with acquire by the packet loop.
    virtual const std::atomic<bool>& stop_requested() const = 0;

    // The "backend" of the format event ("wasapi-process-loopback" on Windows).
    virtual std::string_view backend_name() const = 0;

    // One complete line, "\n" included, on standard error in one write. Tests override it.
    virtual void write_stderr_line(std::string_view line);
};

// The capture run with the real capture worker. Success on a normal end.
Status run_capture(const CaptureRequest& request, CaptureRunPlatform& platform);

}  // namespace tamsel::host
