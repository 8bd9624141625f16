// The installation lock of tamsel_driver_setup: the private namespace that only administrators
// can make or enter (install_lock.hpp, install_lock_win.cpp). A source of the program itself,
// so that it carries exactly this lock (install_lock_win.hpp).
#include "install_lock_win.hpp"

namespace tamsel::setup::win {

namespace {

// The Windows calls and the lock over them, owned together.
class OwnedNamespaceLock final : public InstallLock {
public:
    OwnedNamespaceLock() : calls_(make_namespace_lock_calls()), lock_(*calls_) {}
    LockOutcome acquire(std::uint32_t timeout_ms) override { return lock_.acquire(timeout_ms); }
    void release() override { lock_.release(); }

private:
    std::unique_ptr<LockCalls> calls_;
    NamespaceInstallLock lock_;
};

}  // namespace

std::unique_ptr<InstallLock> make_installation_lock() { return std::make_unique<OwnedNamespaceLock>(); }

}  // namespace tamsel::setup::win
