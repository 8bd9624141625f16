// TEST PROGRAMS ONLY: the installation lock of the test builds that the Wine tests run. Wine 8
// has no private namespaces (CreateBoundaryDescriptorW is a stub that gives null, and
// AddSIDToBoundaryDescriptor is not implemented), so the shipped lock cannot be taken there
// (install_lock_wine_test.cpp shows how it fails). This stand-in orders the runs of one Wine
// prefix with a plain mutex of the session namespace, with the same bounded wait and take-over
// of an abandoned lock. Never a source of tamsel_driver_setup: tamsel_setup_shipped_program_check
// looks for its name in the shipped program.
//
// With TAMSEL_TEST_HOLD=<name> set, acquire first releases the semaphore "<name>-locking" once:
// the run has staged its package and read the INF's class and is about to wait for the lock,
// which the test may hold itself (TEST_LOCK_NAME) to stop the run there.
#include <windows.h>

#include <string>

#include "install_lock_win.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"
#include "test_installation_lock_win.hpp"

namespace tamsel::setup::win {

namespace {

using tamsel::win::UniqueHandle;

void announce_locking() {
    wchar_t name[200] = {};
    const DWORD length = GetEnvironmentVariableW(L"TAMSEL_TEST_HOLD", name, 200);
    if (length == 0 || length >= 200) return;
    const UniqueHandle locking(
        OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (std::wstring(name, length) + L"-locking").c_str()));
    if (locking) ReleaseSemaphore(locking.get(), 1, nullptr);
}

class TestSessionMutexLock final : public InstallLock {
public:
    LockOutcome acquire(std::uint32_t timeout_ms) override {
        announce_locking();
        UniqueHandle mutex(CreateMutexW(nullptr, FALSE, TEST_LOCK_NAME));
        if (!mutex) return LockOutcome::Failed;
        const DWORD waited = WaitForSingleObject(mutex.get(), timeout_ms);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            held_ = std::move(mutex);
            return LockOutcome::Acquired;
        }
        if (waited == WAIT_TIMEOUT) return LockOutcome::TimedOut;
        const DWORD code = GetLastError();
        mutex.reset();
        SetLastError(code);
        return LockOutcome::Failed;
    }
    void release() override {
        if (!held_) return;
        ReleaseMutex(held_.get());
        held_.reset();
    }
    ~TestSessionMutexLock() override { release(); }

private:
    UniqueHandle held_;
};

}  // namespace

std::unique_ptr<InstallLock> make_installation_lock() { return std::make_unique<TestSessionMutexLock>(); }

}  // namespace tamsel::setup::win
