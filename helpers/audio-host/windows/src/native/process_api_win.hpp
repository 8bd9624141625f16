#pragma once
// ProcessApi on Windows: process handles, Toolhelp snapshots and the owners of visible
// top-level windows.
#include <windows.h>

#include <cstdint>

#include "process_api.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"

namespace tamsel::host::win {

using tamsel::win::UniqueHandle;

// SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION: enough to read the identity and to wait.
inline constexpr DWORD PROCESS_IDENTITY_RIGHTS = 0x00101000;
// QueryFullProcessImageNameW buffer, in UTF-16 units.
inline constexpr DWORD IMAGE_PATH_UNITS = 32768;

// Owns one process handle; the destructor closes it (a failed close is ignored). Made empty
// before the process is opened, so that the handle has its owner the moment it exists.
class WindowsProcessHandle final : public ProcessHandle {
public:
    WindowsProcessHandle() noexcept = default;
    explicit WindowsProcessHandle(HANDLE handle) noexcept : handle_(handle) {}

    // WaitForSingleObject(handle, 0) == WAIT_TIMEOUT; a failed wait counts as exited.
    bool is_running() const override;
    HANDLE native() const noexcept { return handle_.get(); }
    // OpenProcess straight into this owner; false (GetLastError set) when it failed.
    bool open(DWORD rights, std::uint32_t pid) noexcept;

private:
    UniqueHandle handle_;
};

// The native handle behind an identity's ProcessHandle made by WindowsProcessApi.
HANDLE native_process_handle(const ProcessHandle& handle) noexcept;

class WindowsProcessApi final : public ProcessApi {
public:
    // "open process: ...", "process executable: ...", "process identity: ..."
    Result<ProcessIdentity> query_process_identity(std::uint32_t pid) override;
    // "process snapshot: ...", "first process: ..."
    Result<ProcessTable> take_process_table() override;
    std::uint32_t current_process_id() override;
    // "enumerate application windows: ..."
    Result<std::vector<std::uint32_t>> visible_window_owners() override;
    // context_error with the Win32 error as its HRESULT.
    std::string os_error_context(std::string_view context, std::int32_t code) override;
};

// The creation time of an open process as one 64-bit FILETIME value, or 0 when unreadable.
std::uint64_t creation_time_of(HANDLE process) noexcept;

}  // namespace tamsel::host::win
