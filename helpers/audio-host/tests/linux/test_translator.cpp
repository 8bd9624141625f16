// A stand-in for the translator in the end-to-end tests: it starts tamsel_audio_host as its own
// child (so the parent rule holds), optionally with players of its own, reads the PCM stream,
// stops the host and reports what happened.
//
//   tamsel_test_translator --host PATH --target system|pid:N --out PCM --err ERR
//       [--child "shell command"]    started under the translator before the host (repeatable)
//       [--stop-after-ms N]          then send --signal (INT or TERM, default INT) to the host
//       [--stop-file PATH]           send --signal to the host once PATH exists
//       [--close-after-ms N]         close the read end of the PCM pipe instead
//       [--stall-ms AT:LEN]          stop reading for LEN ms once AT ms of audio arrived, with the
//                                    pipe at its smallest (one page), so the host's worker is held
//                                    up in its write as by a reader that falls behind
//       [--timeout-ms N]             kill the host (and fail) if it runs longer (default 20000)
//       [--expected-exe X --expected-start Y]   instead of the target's own identity
//       [--exclude-pid N]            instead of the translator's own pid
//
// For a pid target it reads the target's identity with the host's own /proc code (as the
// translator would take it from the list). Prints one line on standard output:
//   host_exit=C host_user_us=U host_sys_us=S wall_ms=W bytes=B first_sound_ns=T
// first_sound_ns is the CLOCK_MONOTONIC time at which the first 1920-byte chunk holding a
// sample above 1 % of full scale arrived (0 if none). Exit 0 when the host ran and ended by
// itself or by the requested stop; 3 on a usage or set-up error or a timeout.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "process_api_linux.hpp"

namespace {

long long monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "tamsel_test_translator: %s\n", message.c_str());
    std::exit(3);
}

pid_t spawn_shell(const std::string& command) {
    const pid_t pid = ::fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        ::setpgid(0, 0);  // its own group, so the whole player tree can be ended
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host, target, out_path, err_path, expected_exe, expected_start, exclude_pid, stop_file;
    std::vector<std::string> children;
    long stop_after_ms = -1, close_after_ms = -1, timeout_ms = 20000, stall_at_ms = -1, stall_ms = 0;
    int stop_signal = SIGINT;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--host") host = value;
        else if (flag == "--target") target = value;
        else if (flag == "--out") out_path = value;
        else if (flag == "--err") err_path = value;
        else if (flag == "--child") children.push_back(value);
        else if (flag == "--stop-after-ms") stop_after_ms = std::atol(value.c_str());
        else if (flag == "--stop-file") stop_file = value;
        else if (flag == "--close-after-ms") close_after_ms = std::atol(value.c_str());
        else if (flag == "--timeout-ms") timeout_ms = std::atol(value.c_str());
        else if (flag == "--stall-ms") {
            if (std::sscanf(value.c_str(), "%ld:%ld", &stall_at_ms, &stall_ms) != 2) die("--stall-ms takes AT:LEN");
        }
        else if (flag == "--signal") stop_signal = value == "TERM" ? SIGTERM : SIGINT;
        else if (flag == "--expected-exe") expected_exe = value;
        else if (flag == "--expected-start") expected_start = value;
        else if (flag == "--exclude-pid") exclude_pid = value;
        else die("unknown option " + flag);
    }
    if (host.empty() || target.empty() || out_path.empty() || err_path.empty()) die("missing option");
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args = {host, "--target", target, "--exclude-pids",
                                     exclude_pid.empty() ? std::to_string(::getpid()) : exclude_pid};
    if (target.rfind("pid:", 0) == 0) {
        if (expected_exe.empty() || expected_start.empty()) {
            tamsel::host::linux_host::LinuxProcessApi processes;
            const auto pid = static_cast<std::uint32_t>(std::strtoul(target.c_str() + 4, nullptr, 10));
            auto identity = processes.query_process_identity(pid);
            if (!identity) die("target identity: " + identity.error());
            if (expected_exe.empty()) expected_exe = identity->exe;
            if (expected_start.empty()) expected_start = std::to_string(identity->start);
        }
        args.insert(args.end(), {"--expected-exe", expected_exe, "--expected-start", expected_start});
    }

    std::vector<pid_t> child_pids;
    for (const std::string& command : children) child_pids.push_back(spawn_shell(command));

    int pcm_pipe[2];
    if (::pipe2(pcm_pipe, O_CLOEXEC) != 0) die("pipe failed");
    if (stall_at_ms >= 0 && ::fcntl(pcm_pipe[0], F_SETPIPE_SZ, 4096) < 0) die("cannot shrink the pipe");
    const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err_fd < 0 || out_fd < 0) die("cannot open the output files");

    const long long started = monotonic_ns();
    const pid_t host_pid = ::fork();
    if (host_pid < 0) die("fork failed");
    if (host_pid == 0) {
        ::dup2(pcm_pipe[1], STDOUT_FILENO);
        ::dup2(err_fd, STDERR_FILENO);
        std::vector<char*> raw;
        for (std::string& a : args) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(pcm_pipe[1]);
    ::close(err_fd);

    int read_fd = pcm_pipe[0];
    long long first_sound = 0;
    unsigned long long bytes = 0;
    std::vector<unsigned char> chunk;  // bytes of the chunk being received
    bool signalled = false, timed_out = false;
    long long stall_until = -1;  // monotonic ns; -1 before the stall
    for (;;) {
        const long long now_ns = monotonic_ns();
        const long elapsed_ms = static_cast<long>((now_ns - started) / 1000000);
        const bool stop_due = (stop_after_ms >= 0 && elapsed_ms >= stop_after_ms) ||
                              (!stop_file.empty() && ::access(stop_file.c_str(), F_OK) == 0);
        if (!signalled && stop_due) {
            ::kill(host_pid, stop_signal);
            signalled = true;
        }
        if (read_fd >= 0 && close_after_ms >= 0 && elapsed_ms >= close_after_ms) {
            ::close(read_fd);
            read_fd = -1;
        }
        if (elapsed_ms >= timeout_ms) {
            ::kill(host_pid, SIGKILL);
            timed_out = true;
            break;
        }
        if (read_fd < 0) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(host_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == host_pid) {
                break;  // ended; reaped below with its resource usage
            }
            ::usleep(5000);
            continue;
        }
        if (stall_until < 0 && stall_at_ms >= 0 && static_cast<long long>(bytes) >= stall_at_ms * 96LL) {
            stall_until = now_ns + stall_ms * 1000000LL;
        }
        if (now_ns < stall_until) {
            ::usleep(5000);
            continue;
        }
        pollfd entry{read_fd, POLLIN, 0};
        if (::poll(&entry, 1, 10) <= 0) continue;
        unsigned char buffer[65536];
        const ssize_t n = ::read(read_fd, buffer, sizeof buffer);
        if (n <= 0) break;  // the host closed its standard output: it is ending
        const long long now = monotonic_ns();
        if (::write(out_fd, buffer, static_cast<std::size_t>(n)) != n) die("cannot write the PCM file");
        bytes += static_cast<unsigned long long>(n);
        for (ssize_t i = 0; i < n; ++i) {
            chunk.push_back(buffer[i]);
            if (chunk.size() < 1920) continue;
            if (first_sound == 0) {
                for (std::size_t s = 0; s + 1 < chunk.size(); s += 2) {
                    const auto v = static_cast<std::int16_t>(chunk[s] | (chunk[s + 1] << 8));
                    if (v > 327 || v < -327) {
                        first_sound = now;
                        break;
                    }
                }
            }
            chunk.clear();
        }
    }
    int status = 0;
    rusage usage{};
    if (::wait4(host_pid, &status, 0, &usage) != host_pid) die("wait failed");
    const long long ended = monotonic_ns();
    if (read_fd >= 0) ::close(read_fd);
    ::close(out_fd);
    for (const pid_t child : child_pids) {
        ::kill(-child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    const int host_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const long long user_us = usage.ru_utime.tv_sec * 1000000LL + usage.ru_utime.tv_usec;
    const long long sys_us = usage.ru_stime.tv_sec * 1000000LL + usage.ru_stime.tv_usec;
    std::printf("host_exit=%d host_user_us=%lld host_sys_us=%lld wall_ms=%lld bytes=%llu first_sound_ns=%lld\n",
                host_exit, user_us, sys_us, (ended - started) / 1000000, bytes, first_sound);
    if (timed_out) die("the host did not end in time");
    return 0;
}
