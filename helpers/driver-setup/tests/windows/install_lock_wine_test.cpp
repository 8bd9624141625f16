// The shipped installation lock's Windows calls (install_lock_win.cpp) as this system answers
// them. Wine 8 has no private namespaces: CreateBoundaryDescriptorW is a stub that gives null
// without an error code, and AddSIDToBoundaryDescriptor is not implemented at all (a call
// would end the process). The lock must then fail at its first call, reported as
// ERROR_CALL_NOT_IMPLEMENTED, leave nothing open and never fall back to a name that anyone could
// take. Where private namespaces exist (Windows, a later Wine), the lock is taken, a second
// taker waits for it and times out, and it is free again once let go.
#include <windows.h>

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include "install_lock_win.hpp"
#include "open_handles_win.hpp"

namespace tamsel::setup {
namespace {

bool private_namespaces_here() {
    const HANDLE probe = CreateBoundaryDescriptorW(L"tamsel-probe", 0);
    if (!probe) return false;
    DeleteBoundaryDescriptor(probe);
    return true;
}

LockOutcome acquire_on_another_thread(std::uint32_t timeout_ms) {
    LockOutcome outcome = LockOutcome::Failed;
    std::thread([&outcome, timeout_ms] {
        const auto calls = win::make_namespace_lock_calls();
        NamespaceInstallLock lock(*calls);
        outcome = lock.acquire(timeout_ms);
    }).join();
    return outcome;
}

TEST(ShippedInstallLock, AsThisSystemAnswers) {
    const std::size_t handles_before = test_support::own_process_handles();
    const auto calls = win::make_namespace_lock_calls();
    NamespaceInstallLock lock(*calls);
    const LockOutcome outcome = lock.acquire(1000);
    const DWORD code = GetLastError();
    if (!private_namespaces_here()) {
        std::cout << "no private namespaces on this system: the shipped lock cannot be taken\n";
        EXPECT_EQ(outcome, LockOutcome::Failed);
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
        EXPECT_EQ(test_support::own_process_handles(), handles_before) << "nothing left open";
        return;
    }
    ASSERT_EQ(outcome, LockOutcome::Acquired) << code;
    EXPECT_EQ(acquire_on_another_thread(50), LockOutcome::TimedOut) << "one installation at a time";
    lock.release();
    EXPECT_EQ(acquire_on_another_thread(50), LockOutcome::Acquired) << "free once let go";
}

}  // namespace
}  // namespace tamsel::setup
