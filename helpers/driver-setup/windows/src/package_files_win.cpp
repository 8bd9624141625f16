// Package files and staging folders on Windows.
//
// Each package file is opened once with GENERIC_READ and shared for reading only, so no other
// process writes it while it is read, and the same handle is read for the digest. The handles
// are not inheritable (no security attributes) and FILE_FLAG_OPEN_REPARSE_POINT opens a link
// itself instead of its target, which is then refused like a folder.
//
// A staging folder is made in `%windir%\Temp` (the system's Windows folder, never a per-user
// one) under a name of 16 random bytes, with a protected DACL of SYSTEM and Administrators that
// every file in it inherits: a user-level process can neither write into it nor rename or
// replace it, and CreateDirectoryW fails rather than take a folder someone made first. The run
// holds it open without FILE_SHARE_DELETE, so another run cannot remove it while it is in use;
// one left by a killed run is no longer held and is removed by the next run. That removal opens
// every entry as itself (FILE_FLAG_OPEN_REPARSE_POINT) and deletes it through its handle, so a
// link inside a folder of that name is deleted, never followed.
#include <windows.h>

#include <bcrypt.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "package_files.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"

namespace tamsel::setup {

namespace {

namespace fs = std::filesystem;
using tamsel::win::UniqueFileHandle;

// SYSTEM and Administrators only, inherited by every file made inside, nothing from above.
constexpr const wchar_t* STAGING_SDDL = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Names tried before giving up when the random name exists (in practice: never twice).
constexpr int STAGING_NAME_ATTEMPTS = 4;
// More than a staged package ever holds (the manifest's files).
constexpr std::size_t MAX_STAGED_ENTRIES = 256;

Failure last_os_error() { return fail(os_error_text(static_cast<std::int32_t>(GetLastError()))); }

class WinFile final : public PackageFile {
public:
    WinFile(UniqueFileHandle handle, std::uint64_t size) : handle_(std::move(handle)), size_(size) {}

    std::uint64_t size() const override { return size_; }
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
        const DWORD wanted = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
        DWORD got = 0;
        if (!ReadFile(handle_.get(), buffer, wanted, &got, nullptr)) return fail("read error");
        return static_cast<std::size_t>(got);
    }

private:
    UniqueFileHandle handle_;
    std::uint64_t size_;
};

// The handle's attributes and size, when it is a folder exactly when `folder` says so and no
// reparse point either way.
bool is_plain(HANDLE handle, bool folder, std::uint64_t* size = nullptr) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) return false;
    if (size) *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

class WinStagedFile final : public StagedFile {
public:
    explicit WinStagedFile(UniqueFileHandle handle) : handle_(std::move(handle)) {}

    Status write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            const DWORD wanted = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
            DWORD written = 0;
            if (!WriteFile(handle_.get(), data, wanted, &written, nullptr)) return last_os_error();
            data += written;
            size -= written;
        }
        return ok();
    }
    Status close() override {
        if (!CloseHandle(handle_.release())) return last_os_error();
        return ok();
    }

private:
    UniqueFileHandle handle_;
};

// Deletes the file or folder at `path` through a handle to it, a link as itself. A folder goes
// only when it is empty.
void delete_entry(const fs::path& path) {
    const UniqueFileHandle entry(CreateFileW(path.c_str(), DELETE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));
    if (!entry) return;
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

class WinStagingFolder final : public StagingFolder {
public:
    WinStagingFolder(fs::path path, UniqueFileHandle hold) : path_(std::move(path)), hold_(std::move(hold)) {}
    WinStagingFolder(const WinStagingFolder&) = delete;
    WinStagingFolder& operator=(const WinStagingFolder&) = delete;
    ~WinStagingFolder() override {
        for (const fs::path& file : files_) DeleteFileW(file.c_str());
        hold_.reset();
        RemoveDirectoryW(path_.c_str());
    }

    const fs::path& path() const override { return path_; }
    Result<std::unique_ptr<StagedFile>> create_file(std::string_view name) override {
        fs::path file = path_;
        file += fs::path::preferred_separator;
        file += utf8_to_wide(name);
        // No sharing while it is written; its DACL comes from the folder.
        UniqueFileHandle handle(
            CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) return last_os_error();
        files_.push_back(std::move(file));
        return std::unique_ptr<StagedFile>(std::make_unique<WinStagedFile>(std::move(handle)));
    }

private:
    fs::path path_;
    UniqueFileHandle hold_;
    std::vector<fs::path> files_;
};

// `%windir%\Temp` of the system (GetSystemWindowsDirectoryW: the shared Windows folder, also
// on a terminal server).
Result<fs::path> staging_root() {
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    if (length == 0) return last_os_error();
    if (length > MAX_PATH) return fail(os_error_text(ERROR_INSUFFICIENT_BUFFER));
    return fs::path(std::wstring(windows, length)) / L"Temp";
}

Result<std::string> random_staging_name() {
    StagingNameBytes random{};
    const NTSTATUS status = BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) return fail(os_error_text(ERROR_GEN_FAILURE));
    return staging_folder_name(random);
}

// True when this process runs with the Administrators group in force (elevated, where UAC
// filters the token).
bool runs_as_administrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    const bool checked = CheckTokenMembership(nullptr, administrators, &member) != 0;
    FreeSid(administrators);
    return checked && member;
}

// Opens a folder without following a link and without FILE_SHARE_DELETE: while the handle is
// open nobody can rename or remove the folder.
UniqueFileHandle hold_folder(const fs::path& folder, DWORD access) {
    UniqueFileHandle handle(CreateFileW(folder.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (handle && !is_plain(handle.get(), true)) handle.reset();
    return handle;
}

// The names in a folder, read through the handle that holds it (a listing by path would open
// the folder once more, which the hold's sharing mode refuses).
// At most `limit` + 1 of them: a folder that holds more is not one of ours.
std::vector<std::wstring> entries_of(HANDLE folder, std::size_t limit = SIZE_MAX - 1) {
    std::vector<std::wstring> names;
    std::vector<std::uint64_t> buffer(8 * 1024);  // 64 KiB, aligned for the records
    const auto size = static_cast<DWORD>(buffer.size() * sizeof buffer[0]);
    while (GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.data(), size)) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (std::size_t offset = 0;;) {
            const auto* entry = static_cast<const FILE_ID_BOTH_DIR_INFO*>(static_cast<const void*>(bytes + offset));
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.push_back(std::move(name));
            if (names.size() > limit) return names;
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    return names;
}

// Removes one folder left by an earlier run, unless a running run holds it (then the open for
// DELETE fails on the sharing mode) or this run may not. A folder of that name holding more
// entries than a package has is not one of ours (anyone may make folders in the Windows temp
// folder): it is left alone, so the sweep costs at most that much whatever others put there.
void remove_left_behind(const fs::path& folder) {
    const UniqueFileHandle held = hold_folder(folder, DELETE | FILE_LIST_DIRECTORY);
    if (!held) return;
    const std::vector<std::wstring> entries = entries_of(held.get(), MAX_STAGED_ENTRIES);
    if (entries.size() > MAX_STAGED_ENTRIES) return;
    for (const std::wstring& name : entries) delete_entry(folder / name);
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

class WindowsPackageFiles final : public PackageFiles {
public:
    std::unique_ptr<PackageFile> open_file(const fs::path& file) override {
        UniqueFileHandle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
                                                FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
        std::uint64_t size = 0;
        if (!handle || !is_plain(handle.get(), false, &size)) return nullptr;
        return std::make_unique<WinFile>(std::move(handle), size);
    }

    Result<std::unique_ptr<StagingFolder>> create_staging_folder() override {
        // Only administrators may stage: anyone else could make the folder (the Windows temp
        // folder lets users make folders) but then neither open nor remove it under its DACL,
        // and would leave it behind.
        if (!runs_as_administrator()) return fail(os_error_text(ERROR_ACCESS_DENIED));
        const auto root = staging_root();
        if (!root) return root.error_result();
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(STAGING_SDDL, SDDL_REVISION_1, &descriptor,
                                                                  nullptr)) {
            return last_os_error();
        }
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        Result<std::unique_ptr<StagingFolder>> made = fail(os_error_text(ERROR_ALREADY_EXISTS));
        for (int attempt = 0; attempt < STAGING_NAME_ATTEMPTS; ++attempt) {
            const auto name = random_staging_name();
            if (!name) {
                made = name.error_result();
                break;
            }
            const fs::path folder = *root / utf8_to_wide(*name);
            if (!CreateDirectoryW(folder.c_str(), &attributes)) {
                if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
                made = last_os_error();
                break;
            }
            UniqueFileHandle hold = hold_folder(folder, FILE_LIST_DIRECTORY);
            if (!hold) {
                const DWORD error = GetLastError();
                RemoveDirectoryW(folder.c_str());
                made = fail(os_error_text(static_cast<std::int32_t>(error)));
                // Another run's sweep may take a folder in the moment between its making and its
                // hold (it is empty and nobody holds it yet): then a fresh name is tried.
                if (error == ERROR_FILE_NOT_FOUND || error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
                    continue;
                }
                break;
            }
            made = std::unique_ptr<StagingFolder>(std::make_unique<WinStagingFolder>(folder, std::move(hold)));
            break;
        }
        LocalFree(descriptor);
        return made;
    }

    void remove_stale_staging_folders() override {
        const auto root = staging_root();
        if (!root) return;
        WIN32_FIND_DATAW entry{};
        const std::wstring pattern = (*root / utf8_to_wide(STAGING_FOLDER_PREFIX)).wstring() + L"*";
        const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchLimitToDirectories,
                                               nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) return;
        std::vector<fs::path> left;
        do {
            const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
            if (folder && is_staging_folder_name(wide_to_utf8(entry.cFileName))) {
                left.push_back(*root / entry.cFileName);
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        for (const fs::path& folder : left) remove_left_behind(folder);
    }
};

}  // namespace

PackageFiles& system_package_files() {
    static WindowsPackageFiles files;
    return files;
}

}  // namespace tamsel::setup
