// The process API against the running system: real pidfds, /proc and children of this test.
#include "process_api_linux.hpp"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "proc_parse.hpp"

namespace tamsel::host::linux_host {
namespace {

std::string self_exe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// A child that waits until killed; optionally renamed and/or running `program`.
class Child {
public:
    explicit Child(const char* comm = nullptr, const std::string& program = "") {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (comm != nullptr) ::prctl(PR_SET_NAME, comm, 0, 0, 0);
            if (!program.empty()) {
                ::execl(program.c_str(), program.c_str(), "600", static_cast<char*>(nullptr));
                ::_exit(127);
            }
            for (;;) ::pause();
        }
    }
    ~Child() { end(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
    void kill_only() {
        if (pid_ > 0) ::kill(pid_, SIGKILL);
    }
    void end() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Waits until /proc shows the child's exe as `path` (after exec).
    void await_exe(const std::string& path) const {
        for (int i = 0; i < 500; ++i) {
            std::error_code error;
            const auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/exe", error);
            if (!error && target.string().rfind(path, 0) == 0) return;
            ::usleep(2000);
        }
    }

private:
    pid_t pid_ = -1;
};

TEST(LinuxProcessApi, OwnIdentityIsStableAndCurrent) {
    LinuxProcessApi api;
    const Result<ProcessIdentity> first = api.query_process_identity(api.current_process_id());
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->exe, self_exe());
    EXPECT_TRUE(first->handle->is_running());

    LinuxProcessApi another;  // a fresh reader of the boot time gives the same value
    const Result<ProcessIdentity> second = another.query_process_identity(api.current_process_id());
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(second->start, first->start);

    // The test started moments ago: its creation time lies within a few minutes of now.
    const auto now_units = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() +
        static_cast<std::int64_t>(FILETIME_UNIX_EPOCH_SECONDS)) * FILETIME_UNITS_PER_SECOND;
    const std::uint64_t slack = 300 * FILETIME_UNITS_PER_SECOND;
    EXPECT_LT(first->start, now_units + slack);
    EXPECT_GT(first->start, now_units - slack);
}

TEST(LinuxProcessApi, ChildIdentityAndExit) {
    LinuxProcessApi api;
    Child child;
    const Result<ProcessIdentity> identity = api.query_process_identity(child.pid());
    ASSERT_TRUE(identity) << identity.error();
    EXPECT_EQ(identity->exe, self_exe());
    EXPECT_TRUE(identity->handle->is_running());

    child.kill_only();  // a zombie: exited, not yet reaped
    for (int i = 0; i < 500 && identity->handle->is_running(); ++i) ::usleep(2000);
    EXPECT_FALSE(identity->handle->is_running());
    const Result<ProcessIdentity> zombie = api.query_process_identity(child.pid());
    ASSERT_FALSE(zombie);
    EXPECT_EQ(zombie.error(), "process executable: No such file or directory (os error 2)");

    const std::uint32_t pid = child.pid();
    child.end();
    EXPECT_FALSE(identity->handle->is_running()) << "the pidfd keeps naming the ended process";
    const Result<ProcessIdentity> gone = api.query_process_identity(pid);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error(), "open process: No such process (os error 3)");
}

TEST(LinuxProcessApi, ImpossiblePidsCannotBeOpened) {
    LinuxProcessApi api;
    for (const std::uint32_t pid : {0u, 0x7FFFFFF0u, 0xFFFFFFFFu}) {
        const Result<ProcessIdentity> identity = api.query_process_identity(pid);
        ASSERT_FALSE(identity) << pid;
        EXPECT_EQ(identity.error(), "open process: No such process (os error 3)") << pid;
    }
}

TEST(LinuxProcessApi, DeletedImageIsNotAnIdentity) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tamsel-exe-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path gone = dir / "sleeper";
    const fs::path odd = dir / "sleeper (deleted)";  // a real file whose name ends in the mark
    fs::copy_file("/bin/sleep", gone, fs::copy_options::overwrite_existing);
    fs::copy_file("/bin/sleep", odd, fs::copy_options::overwrite_existing);

    LinuxProcessApi api;
    Child deleted(nullptr, gone.string());
    deleted.await_exe(gone.string());
    fs::remove(gone);
    Child named(nullptr, odd.string());
    named.await_exe(odd.string());

    const Result<ProcessIdentity> first = api.query_process_identity(deleted.pid());
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error(), "process executable: No such file or directory (os error 2)");
    const Result<ProcessIdentity> second = api.query_process_identity(named.pid());
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(second->exe, odd.string());

    deleted.end();
    named.end();
    fs::remove_all(dir);
}

TEST(LinuxProcessApi, TableHoldsParentsEvenForOddCommandNames) {
    LinuxProcessApi api;
    Child odd("a) b (c ) d");
    // prctl runs in the child; wait until /proc shows the new name.
    for (int i = 0; i < 500; ++i) {
        std::string comm;
        FILE* f = std::fopen(("/proc/" + std::to_string(odd.pid()) + "/comm").c_str(), "r");
        if (f != nullptr) {
            char buffer[64] = {};
            if (std::fgets(buffer, sizeof buffer, f) != nullptr) comm = buffer;
            std::fclose(f);
        }
        if (comm.rfind("a) b", 0) == 0) break;
        ::usleep(2000);
    }
    const Result<ProcessTable> table = api.take_process_table();
    ASSERT_TRUE(table) << table.error();
    const auto self = static_cast<std::uint32_t>(::getpid());
    ASSERT_EQ(table->count(self), 1u);
    EXPECT_EQ(table->at(self), static_cast<std::uint32_t>(::getppid()));
    ASSERT_EQ(table->count(odd.pid()), 1u);
    EXPECT_EQ(table->at(odd.pid()), self);
}

TEST(LinuxProcessApi, NoDisplayFailsTheWindowEnumeration) {
    const char* saved = std::getenv("DISPLAY");
    const std::string kept = saved != nullptr ? saved : "";
    ::unsetenv("DISPLAY");
    LinuxProcessApi api;
    const Result<std::vector<std::uint32_t>> owners = api.visible_window_owners();
    if (saved != nullptr) ::setenv("DISPLAY", kept.c_str(), 1);
    ASSERT_FALSE(owners);
    EXPECT_EQ(owners.error(), "enumerate application windows: no X display (DISPLAY is not set)");

    ::setenv("DISPLAY", ":4093", 1);  // no server there
    const Result<std::vector<std::uint32_t>> unreachable = api.visible_window_owners();
    if (saved != nullptr) {
        ::setenv("DISPLAY", kept.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
    ASSERT_FALSE(unreachable);
    EXPECT_EQ(unreachable.error(), "enumerate application windows: X display connection failed (DISPLAY=:4093)");
}

}  // namespace
}  // namespace tamsel::host::linux_host
