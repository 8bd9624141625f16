// Package files on a POSIX system, for the tests of the portable rules: opened without following
// a final symbolic link, without blocking on special files, and not passed to child programs.
// Staging folders are private folders (mode 0700) in the temporary folder. POSIX has no share
// modes, so a folder a running run uses cannot be told from one a killed run left, and none is
// removed as left behind; the Windows side does that.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "package_files.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::setup {

namespace {

Failure errno_failure() { return fail(os_error_text(errno)); }

class Descriptor : public PackageFile {
public:
    Descriptor(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() override { ::close(fd_); }

    std::uint64_t size() const override { return size_; }
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, capacity);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) return fail("read error");
        }
    }

private:
    int fd_;
    std::uint64_t size_;
};

// Opens `path` with `flags` and keeps it when fstat says it is of `kind`.
std::unique_ptr<Descriptor> open_kind(const std::filesystem::path& path, int flags, mode_t kind) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (info.st_mode & S_IFMT) != kind) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<Descriptor>(fd, static_cast<std::uint64_t>(info.st_size));
}

class PosixPackageFiles final : public PackageFiles {
public:
    std::unique_ptr<PackageFile> open_file(const std::filesystem::path& file) override {
        // O_NONBLOCK: a FIFO in a file's place must not stall the open; it is then refused.
        // Reads of regular files ignore the flag.
        return open_kind(file, O_RDONLY | O_NONBLOCK, S_IFREG);
    }
    Result<std::unique_ptr<StagingFolder>> create_staging_folder() override;
    void remove_stale_staging_folders() override {}
};

class PosixStagedFile final : public StagedFile {
public:
    explicit PosixStagedFile(int fd) : fd_(fd) {}
    PosixStagedFile(const PosixStagedFile&) = delete;
    PosixStagedFile& operator=(const PosixStagedFile&) = delete;
    ~PosixStagedFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    Status write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written < 0) {
                if (errno == EINTR) continue;
                return errno_failure();
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return ok();
    }
    Status close() override {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return errno_failure();
        return ok();
    }

private:
    int fd_;
};

class PosixStagingFolder final : public StagingFolder {
public:
    explicit PosixStagingFolder(std::filesystem::path path) : path_(std::move(path)) {}
    PosixStagingFolder(const PosixStagingFolder&) = delete;
    PosixStagingFolder& operator=(const PosixStagingFolder&) = delete;
    ~PosixStagingFolder() override {
        for (const std::filesystem::path& file : files_) ::unlink(file.c_str());
        ::rmdir(path_.c_str());
    }

    const std::filesystem::path& path() const override { return path_; }
    Result<std::unique_ptr<StagedFile>> create_file(std::string_view name) override {
        std::filesystem::path file = path_ / std::string(name);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return errno_failure();
        files_.push_back(std::move(file));
        return std::unique_ptr<StagedFile>(std::make_unique<PosixStagedFile>(fd));
    }

private:
    std::filesystem::path path_;
    std::vector<std::filesystem::path> files_;
};

Result<std::unique_ptr<StagingFolder>> PosixPackageFiles::create_staging_folder() {
    std::error_code error;
    const std::filesystem::path root = std::filesystem::temp_directory_path(error);
    if (error) return fail(os_error_text(error.value()));
    StagingNameBytes random{};
    if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) return errno_failure();
    std::filesystem::path folder = root / staging_folder_name(random);
    if (::mkdir(folder.c_str(), 0700) != 0) return errno_failure();
    return std::unique_ptr<StagingFolder>(std::make_unique<PosixStagingFolder>(std::move(folder)));
}

}  // namespace

PackageFiles& system_package_files() {
    static PosixPackageFiles files;
    return files;
}

}  // namespace tamsel::setup
