#pragma once
// The installation lock of a program. Like the manifest, it is a source of each program rather
// than of a library, so a program carries exactly one: tamsel_driver_setup has
// installation_lock_win.cpp, the administrators-only private namespace of install_lock.hpp;
// the test builds that the Wine tests run (Wine has no private namespaces) have a stand-in,
// tests/windows/test_installation_lock_win.cpp.
#include <memory>

#include "install_lock.hpp"

namespace tamsel::setup::win {

// The lock one run's installer takes (defined by the program's lock source).
std::unique_ptr<InstallLock> make_installation_lock();

// The Windows calls behind the namespace lock: the boundary "tamsel-audio-setup" (the
// Administrators group and the high integrity level), the namespace of that name and the
// mutex "tamsel-audio-setup\vbcable-install" in it, both with the DACL "D:P(A;;GA;;;SY)(A;;GA;;;BA)".
std::unique_ptr<LockCalls> make_namespace_lock_calls();

}  // namespace tamsel::setup::win
