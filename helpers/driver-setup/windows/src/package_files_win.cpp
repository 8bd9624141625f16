// Package files on Windows. Each file is opened once with GENERIC_READ and shared for reading
// only, so while it is held no other process can open it for writing, rename it or delete it;
// the same handle is then read for the digest. The handles are not inheritable (no security
// attributes) and FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of its target, which
// is then refused like a folder. Both package folders are held with FILE_LIST_DIRECTORY and no
// FILE_SHARE_DELETE, so they cannot be renamed or replaced while held.
#include <windows.h>

#include "package_files.hpp"

namespace tamsel::setup {

namespace {

class WinHandle : public PackageFile {
public:
    WinHandle(HANDLE handle, std::uint64_t size) : handle_(handle), size_(size) {}
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    ~WinHandle() override { CloseHandle(handle_); }

    std::uint64_t size() const override { return size_; }
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
        const DWORD wanted = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
        DWORD got = 0;
        if (!ReadFile(handle_, buffer, wanted, &got, nullptr)) return fail("read error");
        return static_cast<std::size_t>(got);
    }

private:
    HANDLE handle_;
    std::uint64_t size_;
};

// Opens `path` and keeps it when it is a folder exactly when `folder` says so, and no
// reparse point either way.
std::unique_ptr<WinHandle> open_plain(const std::filesystem::path& path, DWORD access, DWORD share, DWORD flags,
                                      bool folder) {
    const HANDLE handle =
        CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = GetFileInformationByHandle(handle, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                       ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
    if (!plain) {
        CloseHandle(handle);
        return nullptr;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return std::make_unique<WinHandle>(handle, size);
}

class WindowsPackageFiles final : public PackageFiles {
public:
    std::unique_ptr<PackageFile> open_file(const std::filesystem::path& file) override {
        return open_plain(file, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, false);
    }
    std::unique_ptr<HeldHandle> hold_folder(const std::filesystem::path& folder) override {
        return open_plain(folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_BACKUP_SEMANTICS,
                          true);
    }
};

}  // namespace

PackageFiles& system_package_files() {
    static WindowsPackageFiles files;
    return files;
}

}  // namespace tamsel::setup
