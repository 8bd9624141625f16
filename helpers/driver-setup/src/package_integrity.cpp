#include "package_integrity.hpp"

#include <array>
#include <string>
#include <utility>

#include "name_rule.hpp"
#include "sha256.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::setup {

namespace fs = std::filesystem;

namespace {

fs::path file_in_folder(const fs::path& folder, std::string_view name) {
    // Exactly one separator between folder and name; the name is not interpreted further.
    fs::path file = folder;
    file += fs::path::preferred_separator;
#if defined(_WIN32)
    file += utf8_to_wide(name);
#else
    file += std::string(name);
#endif
    return file;
}

Failure stage_failure(const std::string& system_text) { return fail("stage driver package: " + system_text); }

enum class Digest { Matches, Differs, Unreadable };

// Streams the open file through SHA-256, one block at a time, and compares. With a copy, each
// block is written to it before it is hashed, so what is compared is what the copy holds. A
// file that claims more than the bound, or turns out longer while being read, is not a genuine
// one.
Result<Digest> check_digest(PackageFile& file, StagedFile* copy, const std::string& expected, std::uint8_t* block) {
    if (file.size() > MAX_PACKAGE_FILE_BYTES) return Digest::Differs;
    auto stream = Sha256Stream::start();
    if (!stream) return stream.error_result();
    std::uint64_t total = 0;
    for (;;) {
        const auto got = file.read(block, PACKAGE_READ_BLOCK);
        if (!got) return Digest::Unreadable;
        if (*got == 0) break;
        total += *got;
        if (total > MAX_PACKAGE_FILE_BYTES) return Digest::Differs;
        if (copy) {
            const Status written = copy->write(block, *got);
            if (!written) return stage_failure(written.error());
        }
        const Status added = stream->update(block, *got);
        if (!added) return added.error_result();
    }
    if (copy) {
        const Status closed = copy->close();
        if (!closed) return stage_failure(closed.error());
    }
    const auto digest = stream->finish();
    if (!digest) return digest.error_result();
    return to_lower_hex(*digest) == expected ? Digest::Matches : Digest::Differs;
}

// The check, with every file copied into `staging` when there is one.
Status check_package(const fs::path& driver_folder, const Manifest& manifest, PackageFiles& files,
                     StagingFolder* staging) {
    std::array<std::uint8_t, PACKAGE_READ_BLOCK> block{};
    for (const auto& [name, expected] : manifest) {
        if (!is_single_path_component(name)) return fail("invalid bundled file name");
        const auto file = files.open_file(file_in_folder(driver_folder, name));
        if (!file) return fail("missing bundled driver file " + name);
        std::unique_ptr<StagedFile> copy;
        if (staging) {
            auto created = staging->create_file(name);
            if (!created) return stage_failure(created.error());
            copy = std::move(*created);
        }
        const auto checked = check_digest(*file, copy.get(), expected, block.data());
        if (!checked) return checked.error_result();
        if (*checked == Digest::Unreadable) return fail("missing bundled driver file " + name);
        if (*checked == Digest::Differs) return fail("bundled driver integrity check failed: " + name);
    }
    return ok();
}

}  // namespace

Status verify_package(const fs::path& driver_folder, std::string_view manifest_text, PackageFiles& files) {
    const auto manifest = parse_manifest(manifest_text);
    if (!manifest) return manifest.error_result();
    return check_package(driver_folder, *manifest, files, nullptr);
}

Result<StagedPackage> stage_package(const fs::path& driver_folder, std::string_view manifest_text,
                                    PackageFiles& files) {
    const auto manifest = parse_manifest(manifest_text);
    if (!manifest) return manifest.error_result();
    auto staging = files.create_staging_folder();
    if (!staging) return stage_failure(staging.error());
    // On a failure the folder goes with `staging`, the files in it with it.
    const Status checked = check_package(driver_folder, *manifest, files, staging->get());
    if (!checked) return checked.error_result();
    return std::move(*staging);
}

std::string staging_folder_name(const StagingNameBytes& random) {
    return std::string(STAGING_FOLDER_PREFIX) + to_lower_hex(random);
}

bool is_staging_folder_name(std::string_view name) {
    if (!name.starts_with(STAGING_FOLDER_PREFIX)) return false;
    const std::string_view digits = name.substr(STAGING_FOLDER_PREFIX.size());
    if (digits.size() != 2 * StagingNameBytes{}.size()) return false;
    for (const char c : digits) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace tamsel::setup
