#pragma once
// The machine-wide installation lock: one installation at a time, a bounded wait, and a lock
// left by a run that ended while holding it taken over.
//
// On Windows the lock is a mutex inside a private object namespace that only administrators
// can make or enter: the namespace is bound to a boundary of the Administrators group and the
// high integrity level (a process outside the boundary cannot create it), and the namespace
// and the mutex carry a DACL of SYSTEM and Administrators alone (a process outside it cannot
// open either). A user-level process can therefore neither take the lock nor put an object of
// its own under its name; whatever it creates elsewhere, `Global\...` names included, is
// another object. The rules of taking it (NamespaceInstallLock) run over LockCalls, so they
// are tested without Windows.

#include <cstdint>

#include "device_installer.hpp"

namespace tamsel::setup {

// The lock a DeviceInstaller takes, one acquire at a time. A Failed acquire leaves the code of
// the call that failed as the thread's last error (read it through DeviceInstaller::last_error).
class InstallLock {
public:
    virtual ~InstallLock() = default;
    virtual LockOutcome acquire(std::uint32_t timeout_ms) = 0;
    // Lets go of a lock that acquire gave; nothing when none is held.
    virtual void release() = 0;
};

// The system calls the namespace lock is made of. Each call that can fail leaves its error
// code for last_error(); set_last_error() puts a code back after clean-up calls.
class LockCalls {
public:
    enum class Created { New, Exists, Failed };
    enum class Waited { Signaled, Abandoned, TimedOut, Failed };

    virtual ~LockCalls() = default;
    // CreateBoundaryDescriptorW, then AddSIDToBoundaryDescriptor with the Administrators group
    // and AddIntegrityLabelToBoundaryDescriptor with the high integrity level. On failure
    // nothing is left to delete.
    virtual bool create_boundary() = 0;
    // CreatePrivateNamespaceW with the SYSTEM and Administrators DACL: New, or Exists
    // (ERROR_ALREADY_EXISTS: another run made it), or Failed.
    virtual Created create_namespace() = 0;
    // OpenPrivateNamespaceW.
    virtual bool open_namespace() = 0;
    // CreateMutexExW in the namespace with the same DACL (opens the mutex when it exists).
    virtual bool create_mutex() = 0;
    // WaitForSingleObject on the mutex.
    virtual Waited wait_mutex(std::uint32_t timeout_ms) = 0;
    virtual void release_mutex() = 0;
    virtual void close_mutex() = 0;
    virtual void close_namespace() = 0;  // ClosePrivateNamespace without destroying it
    virtual void delete_boundary() = 0;
    virtual std::uint32_t last_error() = 0;
    virtual void set_last_error(std::uint32_t code) = 0;
};

// Creating the namespace, and opening it when another run made it first, is tried this many
// times: a namespace whose last user closed it between the two calls is gone for the opener,
// so it is made again.
inline constexpr int NAMESPACE_ATTEMPTS = 3;

// The lock over LockCalls. Everything made for it is kept while it is held (the namespace
// stays open with the mutex, so its name stays reachable for the runs that wait) and closed on
// release; a failed or timed-out acquire closes what it made, newest first, and keeps the code
// of the call that failed.
class NamespaceInstallLock final : public InstallLock {
public:
    explicit NamespaceInstallLock(LockCalls& calls) : calls_(calls) {}
    NamespaceInstallLock(const NamespaceInstallLock&) = delete;
    NamespaceInstallLock& operator=(const NamespaceInstallLock&) = delete;
    ~NamespaceInstallLock() override { release(); }

    LockOutcome acquire(std::uint32_t timeout_ms) override;
    void release() override;

private:
    enum class Made { Nothing, Boundary, Namespace, Mutex };
    // Closes what was made, newest first, and puts `code` back as the last error.
    void undo(Made made, std::uint32_t code);

    LockCalls& calls_;
    bool held_ = false;
};

}  // namespace tamsel::setup
