// TEST PROGRAM ONLY: tamsel_driver_setup's Windows entry, built and linked like the shipped
// program (GUI subsystem, the same entry), but with the cable detection replaced by a test double that
// always fails. Never shipped: the real program detects through the configuration manager
// and cubeb. The Wine tests use it for the status line, the exit codes, the standard handles
// and the steps before detection (arguments, own path, package). With
// TAMSEL_TEST_FAIL_FIRST_ALLOCATION defined, the entry's first allocation throws std::bad_alloc.
#include <windows.h>

#include "failing_allocation.hpp"
#include "setup_entry_win.hpp"
#include "tamsel/audio/platform.hpp"

namespace {

tamsel::Result<tamsel::setup::CableReport> detection_double() {
    return tamsel::fail("test double: no cable detection in this test program");
}

}  // namespace

int main() {
    if (tamsel::environment_defined("TAMSEL_TEST_FAIL_FIRST_ALLOCATION")) tamsel::test::fail_allocation(1);
    return tamsel::setup::win::run_driver_setup_entry(detection_double);
}
