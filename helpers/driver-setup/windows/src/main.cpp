// tamsel_driver_setup: a windowless program (GUI subsystem) that makes sure the VB-CABLE
// virtual audio cable is present and usable. Exit code 0, 3010 (restart first) or 1 with one
// status line on standard error.
#include <windows.h>

#include "cable_detection.hpp"
#include "setup_entry_win.hpp"

int main() {
    return tamsel::setup::win::run_driver_setup_entry([] { return tamsel::setup::detect_cable_endpoints(); });
}
