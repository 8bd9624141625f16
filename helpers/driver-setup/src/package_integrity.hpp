#pragma once
// Integrity of the packaged driver: every file the manifest names is opened once, read in
// blocks through that open file into a streaming SHA-256 and compared with the manifest's
// digest, in byte-wise order of the names. For an installation the same pass copies the files
// into a staging folder: each block read is written to the copy and then hashed, so the digest
// compared is that of the bytes in the copy, and the copy is what Windows installs.

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
// Each file is closed once it has been checked. Stops at the first problem:
//   the JSON library's text            the manifest does not parse as an object of strings
//   "invalid bundled file name"        a name is not exactly one path component
//   "missing bundled driver file {}"   the file cannot be opened or read (a folder, a link, a
//                                      file open for writing elsewhere included)
//   "bundled driver integrity check failed: {}"   the digest differs (exact, case-sensitive), or
//                                      the file is larger than MAX_PACKAGE_FILE_BYTES (not read)
// Only reads; files the manifest does not name are ignored.
Status verify_package(const std::filesystem::path& driver_folder, std::string_view manifest_text = DRIVER_MANIFEST,
                      PackageFiles& files = system_package_files());

// The check of verify_package, with the same messages, that also copies every manifest file into
// a new staging folder (PackageFiles::create_staging_folder) under its own name. A staging folder
// or file that cannot be created or written gives "stage driver package: {system's text}".
// On success the staging folder holds exactly the manifest's files, each with the digest the
// manifest gives; on failure it has been removed again.
using StagedPackage = std::unique_ptr<StagingFolder>;
Result<StagedPackage> stage_package(const std::filesystem::path& driver_folder,
                                    std::string_view manifest_text = DRIVER_MANIFEST,
                                    PackageFiles& files = system_package_files());

}  // namespace tamsel::setup
