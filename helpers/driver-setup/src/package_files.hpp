#pragma once
// How the package check reaches the files of the driver package, and the staging folder the
// installation reads from. Each package file is opened once and read through that same open
// file. For an installation the bytes read are written, as they are read and hashed, into a
// staging folder this run creates, which only administrators can change; Windows installs from
// that copy, so a package folder (or a folder above it) that another process swaps after the
// check has no effect on what is installed. The system's own implementation
// (windows/src/package_files_win.cpp, linux/src/package_files_posix.cpp) and the tests' fakes
// meet here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

// A package file open for reading; destroying it closes it.
class PackageFile {
public:
    virtual ~PackageFile() = default;
    // The file's size as the open file reports it.
    virtual std::uint64_t size() const = 0;
    // Reads up to `capacity` bytes at the current position into `buffer`: the count read, 0 at
    // the end of the file, or a failure.
    virtual Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) = 0;
};

// A new file in a staging folder, open for writing only by this run.
class StagedFile {
public:
    virtual ~StagedFile() = default;
    // Appends all `size` bytes. A failure carries the system's text (os_error_text).
    virtual Status write(const std::uint8_t* data, std::size_t size) = 0;
    // Closes the file; the bytes are then in place. A failure carries the system's text.
    virtual Status close() = 0;
};

// A folder made for one run. Destroying it removes it with every file made in it, on every
// way out of the run.
class StagingFolder {
public:
    virtual ~StagingFolder() = default;
    virtual const std::filesystem::path& path() const = 0;
    // Creates the file `name` (one path component), which must not exist yet. A failure carries
    // the system's text.
    virtual Result<std::unique_ptr<StagedFile>> create_file(std::string_view name) = 0;
};

class PackageFiles {
public:
    virtual ~PackageFiles() = default;
    // Opens a regular file for reading, once. On Windows: GENERIC_READ, shared for reading only
    // (no writer while it is read), not inheritable, the reparse point itself rather than its
    // target. Null when it cannot be opened this way or is not a plain file: missing, a folder,
    // a reparse point (a link), or held open for writing elsewhere.
    virtual std::unique_ptr<PackageFile> open_file(const std::filesystem::path& file) = 0;
    // Creates a new staging folder with a fresh, unpredictable name (staging_folder_name) in
    // the machine's place for them. On Windows: `%windir%\Temp`, with a protected DACL of SYSTEM
    // and Administrators alone that every file in it inherits, held open so that it cannot be
    // renamed or removed by another process while this run uses it. A failure carries the
    // system's text.
    virtual Result<std::unique_ptr<StagingFolder>> create_staging_folder() = 0;
    // Removes the staging folders that earlier runs left behind (a run that was killed never
    // removed its own), skipping any that a running run still holds or that this run may not
    // remove. Never fails: a folder left over is tried again by the next run.
    virtual void remove_stale_staging_folders() = 0;
};

// The running system's files.
PackageFiles& system_package_files();

// Staging folder names: STAGING_FOLDER_PREFIX and 32 lower-case hexadecimal digits of 16 random
// bytes. Only folders named exactly so are ever removed as left behind.
inline constexpr std::string_view STAGING_FOLDER_PREFIX = "tamsel-driver-setup-";
using StagingNameBytes = std::array<std::uint8_t, 16>;
std::string staging_folder_name(const StagingNameBytes& random);
bool is_staging_folder_name(std::string_view name);

}  // namespace tamsel::setup
