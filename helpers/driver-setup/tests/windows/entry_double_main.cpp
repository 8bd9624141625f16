// TEST PROGRAM ONLY: tamsel_driver_setup's Windows entry, built and linked like the shipped
// program (GUI subsystem, the same entry), but with the cable detection replaced by a test double that
// always fails. Never shipped: the real program detects through the configuration manager
// and cubeb. The Wine tests use it for the status line, the exit codes, the standard handles
// and the steps before detection (arguments, own path, package).
#include <windows.h>

#include "setup_entry_win.hpp"

namespace {

tamsel::Result<tamsel::setup::CableReport> detection_double() {
    return tamsel::fail("test double: no cable detection in this test program");
}

}  // namespace

int main() { return tamsel::setup::win::run_driver_setup_entry(detection_double); }
