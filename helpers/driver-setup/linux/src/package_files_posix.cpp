// Package files on a POSIX system: opened without following a final symbolic link, without
// blocking on special files, and not passed to child programs. POSIX has no share modes, so
// holding here keeps the files open but cannot refuse writers or renames; the Windows side does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "package_files.hpp"

namespace tamsel::setup {

namespace {

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
    std::unique_ptr<HeldHandle> hold_folder(const std::filesystem::path& folder) override {
        return open_kind(folder, O_RDONLY | O_DIRECTORY, S_IFDIR);
    }
};

}  // namespace

PackageFiles& system_package_files() {
    static PosixPackageFiles files;
    return files;
}

}  // namespace tamsel::setup
