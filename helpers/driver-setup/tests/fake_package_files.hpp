#pragma once
// A scripted file system for the package check and its staging: files of any declared size
// whose bytes are made up as they are read (0x5A, or 0xA5 from the second open of a file on,
// for a file that another process changes), staging folders and files that can be refused or
// fail to write, and a log of what is open, staged and removed.

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "package_files.hpp"

namespace tamsel::setup::test {

// The digest of six 0x5A bytes, which is what the fake gives for a 6-byte file.
inline constexpr const char* SIX_5A_SHA = "0a482c589594109cea209233a1f3bfa51f8a52e4534c40e9511c6030ee0f594a";

struct FakeFile {
    std::uint64_t declared_size = 0;
    std::uint64_t actual_size = 0;  // bytes the reads give before the end
    bool open_fails = false;
    bool read_fails = false;
    bool changes_after_first_open = false;  // its later opens read other bytes
};

class FakePackageFiles final : public PackageFiles {
public:
    // Script.
    std::map<std::string, FakeFile> files;
    std::optional<std::string> staging_folder_error;  // create_staging_folder fails with this text
    std::set<std::string> refused_copies, failing_writes, failing_closes;  // by file name

    // Observations.
    std::vector<std::string> log;
    std::size_t open_now = 0;
    std::size_t largest_read = 0;
    std::uint64_t bytes_read = 0;
    int staging_folders_now = 0;
    int stale_removals = 0;
    std::map<std::string, int> opens;
    // Bytes of each file staged in the folder that exists now (cleared when it is removed).
    std::map<std::string, std::string> staged;
    std::map<std::string, bool> staged_closed;

    std::unique_ptr<PackageFile> open_file(const std::filesystem::path& file) override {
        const std::string name = file.filename().string();
        log.push_back("open " + name);
        const auto it = files.find(name);
        if (it == files.end() || it->second.open_fails) return nullptr;
        const bool changed = it->second.changes_after_first_open && opens[name] > 0;
        ++opens[name];
        return std::make_unique<Open>(*this, it->second, changed ? std::uint8_t{0xA5} : std::uint8_t{0x5A});
    }

    Result<std::unique_ptr<StagingFolder>> create_staging_folder() override {
        log.push_back("create staging folder");
        if (staging_folder_error) return fail(*staging_folder_error);
        return std::unique_ptr<StagingFolder>(std::make_unique<Folder>(*this));
    }

    void remove_stale_staging_folders() override {
        log.push_back("remove stale staging folders");
        ++stale_removals;
    }

private:
    class Open final : public PackageFile {
    public:
        Open(FakePackageFiles& owner, FakeFile file, std::uint8_t fill) : owner_(owner), file_(file), fill_(fill) {
            ++owner_.open_now;
        }
        ~Open() override { --owner_.open_now; }
        std::uint64_t size() const override { return file_.declared_size; }
        Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
            owner_.largest_read = std::max(owner_.largest_read, capacity);
            if (file_.read_fails) return fail("read");
            const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, file_.actual_size - position_));
            std::fill_n(buffer, got, fill_);
            position_ += got;
            owner_.bytes_read += got;
            return got;
        }

    private:
        FakePackageFiles& owner_;
        FakeFile file_;
        std::uint8_t fill_;
        std::uint64_t position_ = 0;
    };

    class Copy final : public StagedFile {
    public:
        Copy(FakePackageFiles& owner, std::string name) : owner_(owner), name_(std::move(name)) {}
        Status write(const std::uint8_t* data, std::size_t size) override {
            if (owner_.failing_writes.contains(name_)) {
                return fail("There is not enough space on the disk. (os error 112)");
            }
            owner_.staged[name_].append(reinterpret_cast<const char*>(data), size);
            return ok();
        }
        Status close() override {
            if (owner_.failing_closes.contains(name_)) {
                return fail("The request could not be performed. (os error 1117)");
            }
            owner_.staged_closed[name_] = true;
            return ok();
        }

    private:
        FakePackageFiles& owner_;
        std::string name_;
    };

    class Folder final : public StagingFolder {
    public:
        explicit Folder(FakePackageFiles& owner) : owner_(owner) { ++owner_.staging_folders_now; }
        ~Folder() override {
            --owner_.staging_folders_now;
            owner_.log.push_back("remove staging folder");
            owner_.staged.clear();
            owner_.staged_closed.clear();
        }
        const std::filesystem::path& path() const override { return path_; }
        Result<std::unique_ptr<StagedFile>> create_file(std::string_view name) override {
            const std::string file(name);
            owner_.log.push_back("stage " + file);
            if (owner_.refused_copies.contains(file)) return fail("Access is denied. (os error 5)");
            owner_.staged[file];
            return std::unique_ptr<StagedFile>(std::make_unique<Copy>(owner_, file));
        }

    private:
        FakePackageFiles& owner_;
        std::filesystem::path path_ =
            std::filesystem::path("Temp") / "tamsel-driver-setup-0123456789abcdef0123456789abcdef";
    };
};

}  // namespace tamsel::setup::test
