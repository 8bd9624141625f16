#include "process_api_win.hpp"

#include <tlhelp32.h>

#include <exception>
#include <memory>
#include <vector>

#include "system_error_win.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host::win {
namespace {

std::uint64_t filetime_value(const FILETIME& time) noexcept {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

struct WindowOwners {
    std::vector<std::uint32_t> pids;
    bool failed = false;
};

BOOL CALLBACK collect_window_owner(HWND window, LPARAM context) {
    auto* owners = reinterpret_cast<WindowOwners*>(context);
    if (!IsWindowVisible(window)) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    try {
        owners->pids.push_back(pid);
    } catch (...) {  // no exception may cross the system's frames
        owners->failed = true;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

bool WindowsProcessHandle::open(DWORD rights, std::uint32_t pid) noexcept {
    handle_.reset(OpenProcess(rights, FALSE, pid));
    return static_cast<bool>(handle_);
}

bool WindowsProcessHandle::is_running() const { return WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT; }

HANDLE native_process_handle(const ProcessHandle& handle) noexcept {
    const auto* windows = dynamic_cast<const WindowsProcessHandle*>(&handle);
    return windows ? windows->native() : nullptr;
}

std::uint64_t creation_time_of(HANDLE process) noexcept {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) return 0;
    return filetime_value(creation);
}

Result<ProcessIdentity> WindowsProcessApi::query_process_identity(std::uint32_t pid) {
    // The owner first: from the moment the process is open, every way out (a throw included)
    // closes its handle.
    auto handle = std::make_unique<WindowsProcessHandle>();
    if (!handle->open(PROCESS_IDENTITY_RIGHTS, pid)) return fail(context_error_from_last_error("open process"));
    const HANDLE raw = handle->native();

    // The error text is built before the handle closes, so CloseHandle cannot change it.
    std::vector<wchar_t> path(IMAGE_PATH_UNITS);
    DWORD units = IMAGE_PATH_UNITS;
    if (!QueryFullProcessImageNameW(raw, 0, path.data(), &units)) {
        return fail(context_error_from_last_error("process executable"));
    }
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(raw, &creation, &exit, &kernel, &user)) {
        return fail(context_error_from_last_error("process identity"));
    }

    ProcessIdentity identity;
    identity.exe = wide_to_utf8(std::wstring_view(path.data(), units < IMAGE_PATH_UNITS ? units : IMAGE_PATH_UNITS));
    identity.start = filetime_value(creation);
    identity.handle = std::move(handle);
    return identity;
}

Result<ProcessTable> WindowsProcessApi::take_process_table() {
    const tamsel::win::UniqueSnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return fail(context_error_from_last_error("process snapshot"));

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) return fail(context_error_from_last_error("first process"));
    ProcessTable table;
    do {
        table[entry.th32ProcessID] = entry.th32ParentProcessID;  // a later duplicate wins
        entry.dwSize = sizeof entry;
    } while (Process32NextW(snapshot.get(), &entry));
    return table;
}

std::string WindowsProcessApi::os_error_context(std::string_view context, std::int32_t code) {
    return context_error_from_win32(context, static_cast<std::uint32_t>(code));
}

std::uint32_t WindowsProcessApi::current_process_id() { return GetCurrentProcessId(); }

Result<std::vector<std::uint32_t>> WindowsProcessApi::visible_window_owners() {
    WindowOwners owners;
    if (!EnumWindows(&collect_window_owner, reinterpret_cast<LPARAM>(&owners))) {
        if (owners.failed) return fail("enumerate application windows: out of memory");
        return fail(context_error_from_last_error("enumerate application windows"));
    }
    return std::move(owners.pids);
}

}  // namespace tamsel::host::win
