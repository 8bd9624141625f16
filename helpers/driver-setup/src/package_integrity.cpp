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

enum class Digest { Matches, Differs, Unreadable };

// Streams the open file through SHA-256, one block at a time, and compares. A file that
// claims more than the bound, or turns out longer while being read, is not a genuine one.
Result<Digest> check_digest(PackageFile& file, const std::string& expected, std::uint8_t* block) {
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
        const Status added = stream->update(block, *got);
        if (!added) return added.error_result();
    }
    const auto digest = stream->finish();
    if (!digest) return digest.error_result();
    return to_lower_hex(*digest) == expected ? Digest::Matches : Digest::Differs;
}

}  // namespace

Result<PackageHold> verify_package(const fs::path& driver_folder, std::string_view manifest_text,
                                   PackageFiles& files) {
    auto manifest = parse_manifest(manifest_text);
    if (!manifest) return manifest.error_result();

    PackageHold hold;
    // The folders first, so neither can be renamed or replaced while the files are checked. A
    // folder that cannot be held is reported like a missing package: with the first name.
    bool folders_held = true;
    for (const fs::path& folder : {driver_folder.parent_path(), driver_folder}) {
        auto held = files.hold_folder(folder);
        if (!held) {
            folders_held = false;
            break;
        }
        hold.keep(std::move(held));
    }

    std::array<std::uint8_t, PACKAGE_READ_BLOCK> block{};
    for (const auto& [name, expected] : *manifest) {
        if (!is_single_path_component(name)) return fail("invalid bundled file name");
        if (!folders_held) return fail("missing bundled driver file " + name);
        auto file = files.open_file(file_in_folder(driver_folder, name));
        if (!file) return fail("missing bundled driver file " + name);
        const auto checked = check_digest(*file, expected, block.data());
        if (!checked) return checked.error_result();
        if (*checked == Digest::Unreadable) return fail("missing bundled driver file " + name);
        if (*checked == Digest::Differs) return fail("bundled driver integrity check failed: " + name);
        // Held, not closed: the installation reads this very file.
        hold.keep(std::move(file));
    }
    return hold;
}

}  // namespace tamsel::setup
