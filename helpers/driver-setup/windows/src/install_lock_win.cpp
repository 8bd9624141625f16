#include "install_lock_win.hpp"

#include <windows.h>

#include <sddl.h>

#include "tamsel/audio/windows/unique_handle.hpp"

namespace tamsel::setup::win {

namespace {

constexpr const wchar_t* BOUNDARY_NAME = L"tamsel-audio-setup";
constexpr const wchar_t* NAMESPACE_PREFIX = L"tamsel-audio-setup";
constexpr const wchar_t* MUTEX_NAME = L"tamsel-audio-setup\\vbcable-install";
// SYSTEM and administrators only, nothing inherited: nobody else may open the namespace (which
// anyone could, without a DACL of its own) or the mutex.
constexpr const wchar_t* LOCK_SDDL = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The security attributes of LOCK_SDDL, freed with their owner.
class LockSecurity {
public:
    LockSecurity() {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOCK_SDDL, SDDL_REVISION_1, &descriptor_, nullptr)) {
            descriptor_ = nullptr;
        }
        attributes_ = SECURITY_ATTRIBUTES{sizeof attributes_, descriptor_, FALSE};
    }
    LockSecurity(const LockSecurity&) = delete;
    LockSecurity& operator=(const LockSecurity&) = delete;
    ~LockSecurity() {
        const DWORD code = GetLastError();
        if (descriptor_) LocalFree(descriptor_);
        SetLastError(code);
    }
    // Null (with the last error set) when the descriptor could not be made.
    SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

// Adds one well-known SID to the boundary, as a group or as the integrity label.
bool add_to_boundary(HANDLE* boundary, WELL_KNOWN_SID_TYPE kind, bool label) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(kind, nullptr, sid, &size)) return false;
    return label ? AddIntegrityLabelToBoundaryDescriptor(boundary, sid) != FALSE
                 : AddSIDToBoundaryDescriptor(boundary, sid) != FALSE;
}

class WindowsLockCalls final : public LockCalls {
public:
    WindowsLockCalls() = default;
    WindowsLockCalls(const WindowsLockCalls&) = delete;
    WindowsLockCalls& operator=(const WindowsLockCalls&) = delete;

    bool create_boundary() override {
        // A system without private namespaces (Wine) fails here without an error code of its
        // own; it is then reported as the call not being implemented.
        SetLastError(ERROR_SUCCESS);
        boundary_ = CreateBoundaryDescriptorW(BOUNDARY_NAME, 0);
        if (!boundary_) {
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return false;
        }
        if (add_to_boundary(&boundary_, WinBuiltinAdministratorsSid, false) &&
            add_to_boundary(&boundary_, WinHighLabelSid, true)) {
            return true;
        }
        const DWORD code = GetLastError();
        delete_boundary();
        SetLastError(code);
        return false;
    }
    Created create_namespace() override {
        LockSecurity security;
        if (!security.get()) return Created::Failed;
        namespace_ = CreatePrivateNamespaceW(security.get(), boundary_, NAMESPACE_PREFIX);
        if (namespace_) return Created::New;
        return GetLastError() == ERROR_ALREADY_EXISTS ? Created::Exists : Created::Failed;
    }
    bool open_namespace() override {
        namespace_ = OpenPrivateNamespaceW(boundary_, NAMESPACE_PREFIX);
        return namespace_ != nullptr;
    }
    bool create_mutex() override {
        LockSecurity security;
        if (!security.get()) return false;
        mutex_.reset(CreateMutexExW(security.get(), MUTEX_NAME, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
        return static_cast<bool>(mutex_);
    }
    Waited wait_mutex(std::uint32_t timeout_ms) override {
        switch (WaitForSingleObject(mutex_.get(), timeout_ms)) {
            case WAIT_OBJECT_0:
                return Waited::Signaled;
            case WAIT_ABANDONED:
                return Waited::Abandoned;
            case WAIT_TIMEOUT:
                return Waited::TimedOut;
            default:
                return Waited::Failed;
        }
    }
    void release_mutex() override { ReleaseMutex(mutex_.get()); }
    void close_mutex() override { mutex_.reset(); }
    void close_namespace() override {
        if (namespace_) ClosePrivateNamespace(namespace_, 0);
        namespace_ = nullptr;
    }
    void delete_boundary() override {
        if (boundary_) DeleteBoundaryDescriptor(boundary_);
        boundary_ = nullptr;
    }
    std::uint32_t last_error() override { return GetLastError(); }
    void set_last_error(std::uint32_t code) override { SetLastError(code); }

private:
    HANDLE boundary_ = nullptr;
    HANDLE namespace_ = nullptr;
    tamsel::win::UniqueHandle mutex_;
};

}  // namespace

std::unique_ptr<LockCalls> make_namespace_lock_calls() { return std::make_unique<WindowsLockCalls>(); }

}  // namespace tamsel::setup::win
