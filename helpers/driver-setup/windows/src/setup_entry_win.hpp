#pragma once
// The driver setup program's entry on Windows, with the detection step handed in, so the
// shipped program passes the live cable detection and the Wine tests a test double.
#include <functional>

#include "cable_report.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::setup::win {

using DetectCable = std::function<Result<CableReport>()>;

// Runs the setup over the process's own command line with the real package check, own path
// and device installer; writes the status line on failure to the standard error handle (one
// WriteFile) and never touches standard output. Returns the exit code: 0, 1 or 3010. The first
// thing it does is restrict the DLL search to System32; an exception that escapes the run
// becomes the status line "internal error: ..." and exit code 1, and so does, with
// "{context}: Windows error {code}", a failure that ends the run from wherever it happens
// (tamsel::fail_program: a delay-loaded DLL or function this Windows lacks).
int run_driver_setup_entry(const DetectCable& detect);

}  // namespace tamsel::setup::win
