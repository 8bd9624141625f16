// TEST PROGRAM ONLY: tamsel_driver_setup's Windows entry with the manifest of the generated
// test package, the stand-in installation lock (test_installation_lock_win.cpp, which can stop
// a run at the lock, after its staging) and a detection double that stops the run between its
// package check and its installation until the test lets it go. Never shipped. With
// TAMSEL_TEST_HOLD=<name> set, the detection releases the semaphore "<name>-arrived" once (the
// package has been verified), waits for the event "<name>-release" (at most a minute), then
// reports no cable, so the run goes on to staging and installation. Without it the detection
// reports no cable at once.
#include <windows.h>

#include <string>

#include "setup_entry_win.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"

namespace {

tamsel::Result<tamsel::setup::CableReport> held_detection() {
    wchar_t name[200] = {};
    const DWORD length = GetEnvironmentVariableW(L"TAMSEL_TEST_HOLD", name, 200);
    if (length > 0 && length < 200) {
        const std::wstring base(name, length);
        const tamsel::win::UniqueHandle arrived(
            OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (base + L"-arrived").c_str()));
        const tamsel::win::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, (base + L"-release").c_str()));
        if (!arrived || !release) return tamsel::fail("test double: hold objects missing");
        ReleaseSemaphore(arrived.get(), 1, nullptr);
        if (WaitForSingleObject(release.get(), 60000) != WAIT_OBJECT_0) {
            return tamsel::fail("test double: never released");
        }
    }
    return tamsel::setup::CableReport{};  // every cable Absent
}

}  // namespace

int main() { return tamsel::setup::win::run_driver_setup_entry(held_detection); }
