#pragma once
// How the package check reaches the files of the driver package: each file is opened once and
// read through that same open file, and the open files and folders are held until the
// installation has ended, so what was verified is what gets installed. The system's own
// implementation (windows/src/package_files_win.cpp, linux/src/package_files_posix.cpp) and
// the tests' fakes meet here.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

// One open file or folder; destroying it closes it.
class HeldHandle {
public:
    virtual ~HeldHandle() = default;
};

// A package file open for reading.
class PackageFile : public HeldHandle {
public:
    // The file's size as the open file reports it.
    virtual std::uint64_t size() const = 0;
    // Reads up to `capacity` bytes at the current position into `buffer`: the count read, 0 at
    // the end of the file, or a failure.
    virtual Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) = 0;
};

class PackageFiles {
public:
    virtual ~PackageFiles() = default;
    // Opens a regular file for reading, once. On Windows: GENERIC_READ, shared for reading only
    // (no writer, no rename, no delete while it is open), not inheritable, the reparse point
    // itself rather than its target. Null when it cannot be opened this way or is not a plain
    // file: missing, a folder, a reparse point (a link), or held open for writing elsewhere.
    virtual std::unique_ptr<PackageFile> open_file(const std::filesystem::path& file) = 0;
    // Opens a folder so that it cannot be renamed, moved or deleted while held. Null when it
    // cannot be opened this way or is not a plain folder (a reparse point, a file).
    virtual std::unique_ptr<HeldHandle> hold_folder(const std::filesystem::path& folder) = 0;
};

// The running system's files.
PackageFiles& system_package_files();

// The open files and folders of a verified package. Keep it alive until the installation that
// reads the package has ended; moving it moves the handles, destroying it closes them.
class PackageHold {
public:
    PackageHold() = default;
    PackageHold(PackageHold&&) noexcept = default;
    PackageHold& operator=(PackageHold&&) noexcept = default;
    PackageHold(const PackageHold&) = delete;
    PackageHold& operator=(const PackageHold&) = delete;
    ~PackageHold() = default;

    void keep(std::unique_ptr<HeldHandle> handle) { held_.push_back(std::move(handle)); }
    std::size_t size() const noexcept { return held_.size(); }

private:
    std::vector<std::unique_ptr<HeldHandle>> held_;
};

}  // namespace tamsel::setup
