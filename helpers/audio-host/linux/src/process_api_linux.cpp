#include "process_api_linux.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "error_text.hpp"
#include "proc_parse.hpp"
#include "tamsel/audio/text.hpp"
#include "x11_windows.hpp"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace tamsel::host::linux_host {
namespace {

// Reads a whole small file of /proc; sets errno and gives false on failure.
bool read_small_file(const std::string& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string proc_path(std::uint32_t pid, std::string_view leaf) {
    std::string path = "/proc/" + std::to_string(pid);
    path.push_back('/');
    path.append(leaf);
    return path;
}

// The image path of `pid`, "process executable: ..." on failure. A deleted image (the kernel
// appends " (deleted)") no longer has a path to identify the process by; a file whose real name
// ends in " (deleted)" is told apart by comparing it with the image's inode.
Result<std::string> read_image_path(std::uint32_t pid) {
    const std::string link = proc_path(pid, "exe");
    std::string target(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
        if (n < 0) return fail(os_error_context_text("process executable", errno));
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            break;
        }
        target.resize(target.size() * 2);  // PATH_MAX is no real limit for readlink
    }
    if (const std::optional<std::string_view> stripped = strip_deleted_mark(target)) {
        (void)stripped;
        struct stat image {};
        struct stat named {};
        const bool same_file = ::stat(link.c_str(), &image) == 0 && ::stat(target.c_str(), &named) == 0 &&
                               image.st_dev == named.st_dev && image.st_ino == named.st_ino;
        if (!same_file) return fail(os_error_context_text("process executable", ENOENT));
    }
    return target;
}

}  // namespace

PidfdHandle::~PidfdHandle() {
    if (fd_ >= 0) (void)::close(fd_);
}

bool PidfdHandle::is_running() const {
    pollfd entry{};
    entry.fd = fd_;
    entry.events = POLLIN;
    for (;;) {
        const int n = ::poll(&entry, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        return n == 0;  // readable (ended) or a failed test both count as not running
    }
}

Result<std::unique_ptr<PidfdHandle>> open_pidfd(std::uint32_t pid) {
    if (pid == 0 || pid > 0x7FFFFFFFu) return fail(os_error_context_text("open process", ESRCH));
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u);
    if (fd < 0) return fail(os_error_context_text("open process", errno));
    return std::make_unique<PidfdHandle>(static_cast<int>(fd));
}

Result<std::uint64_t> LinuxProcessApi::boot_time() {
    if (have_boot_time_) return boot_time_;
    std::string text;
    if (!read_small_file("/proc/stat", text)) return fail(os_error_context_text("process identity", errno));
    Result<std::uint64_t> parsed = parse_boot_time(text);
    if (!parsed) return fail(join_context("process identity", parsed.error()));
    boot_time_ = *parsed;
    have_boot_time_ = true;
    return boot_time_;
}

Result<ProcessIdentity> LinuxProcessApi::query_process_identity(std::uint32_t pid) {
    // The pidfd first: whatever is read below is checked to belong to its process.
    Result<std::unique_ptr<PidfdHandle>> handle = open_pidfd(pid);
    if (!handle) return handle.error_result();

    Result<std::string> exe = read_image_path(pid);
    if (!exe) return exe.error_result();

    std::string stat_text;
    if (!read_small_file(proc_path(pid, "stat"), stat_text)) return fail(os_error_context_text("process identity", errno));
    Result<ProcStat> stat = parse_proc_stat(stat_text);
    if (!stat) return fail(join_context("process identity", stat.error()));
    Result<std::uint64_t> boot = boot_time();
    if (!boot) return boot.error_result();
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (ticks <= 0) return fail(os_error_context_text("process identity", EINVAL));

    // Still alive after the reads: the pid was not reused in between, so the path and the start
    // time are those of the pidfd's process.
    if (!(*handle)->is_running()) return fail(os_error_context_text("open process", ESRCH));

    ProcessIdentity identity;
    identity.exe = utf8_lossy(*exe);
    identity.start = filetime_from_start(*boot, stat->start_ticks, static_cast<std::uint64_t>(ticks));
    identity.handle = std::move(*handle);
    return identity;
}

Result<ProcessTable> LinuxProcessApi::take_process_table() {
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return fail(os_error_context_text("process snapshot", errno));
    ProcessTable table;
    std::string text;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;  // the end, or a failed read: the walk ends without an error
        const std::optional<std::uint32_t> pid = parse_pid_text(entry->d_name);
        if (!pid) continue;
        // A process that ends while we walk is simply not in the table.
        if (!read_small_file(proc_path(*pid, "stat"), text)) continue;
        const Result<ProcStat> stat = parse_proc_stat(text);
        if (!stat) continue;
        table[*pid] = stat->parent_pid;
    }
    (void)::closedir(dir);
    if (table.empty()) return fail(os_error_context_text("first process", ENOENT));
    return table;
}

std::uint32_t LinuxProcessApi::current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

Result<std::vector<std::uint32_t>> LinuxProcessApi::visible_window_owners() { return mapped_top_level_window_owners(); }

}  // namespace tamsel::host::linux_host
