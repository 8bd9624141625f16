#pragma once
// Integrity of the packaged driver: every file the manifest names is opened once, read in
// blocks through that open file into a streaming SHA-256 and compared with the manifest's
// digest, in byte-wise order of the names. The open files and both package folders stay held
// in the result until the caller lets it go.

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "manifest.hpp"
#include "package_files.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

// Bytes read from a package file per step of the digest: the check's memory, whatever the
// file sizes.
inline constexpr std::size_t PACKAGE_READ_BLOCK = 64 * 1024;

// Checks the files of `driver_folder` against `manifest_text` (DRIVER_MANIFEST in the program).
// Stops at the first problem:
//   the JSON library's text            the manifest does not parse as an object of strings
//   "invalid bundled file name"        a name is not exactly one path component
//   "missing bundled driver file {}"   the file cannot be opened or read (a folder, a link, a
//                                      file open for writing elsewhere included), or the
//                                      package folders cannot be held
//   "bundled driver integrity check failed: {}"   the digest differs (exact, case-sensitive), or
//                                      the file is larger than MAX_PACKAGE_FILE_BYTES (not read)
// Only reads; files the manifest does not name are ignored. On success the result holds every
// manifest file and the folders `driver_folder` and its parent open.
Result<PackageHold> verify_package(const std::filesystem::path& driver_folder,
                                   std::string_view manifest_text = DRIVER_MANIFEST,
                                   PackageFiles& files = system_package_files());

}  // namespace tamsel::setup
