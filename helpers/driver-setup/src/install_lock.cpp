#include "install_lock.hpp"

namespace tamsel::setup {

void NamespaceInstallLock::undo(Made made, std::uint32_t code) {
    if (made == Made::Mutex) calls_.close_mutex();
    if (made == Made::Mutex || made == Made::Namespace) calls_.close_namespace();
    if (made != Made::Nothing) calls_.delete_boundary();
    calls_.set_last_error(code);
}

LockOutcome NamespaceInstallLock::acquire(std::uint32_t timeout_ms) {
    if (!calls_.create_boundary()) {
        undo(Made::Nothing, calls_.last_error());
        return LockOutcome::Failed;
    }
    for (int attempt = 1;; ++attempt) {
        const LockCalls::Created created = calls_.create_namespace();
        if (created == LockCalls::Created::New) break;
        if (created == LockCalls::Created::Failed) {
            undo(Made::Boundary, calls_.last_error());
            return LockOutcome::Failed;
        }
        // Another run made it. Its last user may close it between the two calls, and then it
        // is made again.
        if (calls_.open_namespace()) break;
        if (attempt == NAMESPACE_ATTEMPTS) {
            undo(Made::Boundary, calls_.last_error());
            return LockOutcome::Failed;
        }
    }
    if (!calls_.create_mutex()) {
        undo(Made::Namespace, calls_.last_error());
        return LockOutcome::Failed;
    }
    switch (calls_.wait_mutex(timeout_ms)) {
        case LockCalls::Waited::Signaled:
        // A run ended while it held the lock; the device search that follows sees whatever it
        // left, so the lock is simply taken over.
        case LockCalls::Waited::Abandoned:
            held_ = true;
            return LockOutcome::Acquired;
        case LockCalls::Waited::TimedOut:
            undo(Made::Mutex, calls_.last_error());
            return LockOutcome::TimedOut;
        case LockCalls::Waited::Failed:
            break;
    }
    undo(Made::Mutex, calls_.last_error());
    return LockOutcome::Failed;
}

void NamespaceInstallLock::release() {
    if (!held_) return;
    held_ = false;
    calls_.release_mutex();
    calls_.close_mutex();
    calls_.close_namespace();
    calls_.delete_boundary();
}

}  // namespace tamsel::setup
