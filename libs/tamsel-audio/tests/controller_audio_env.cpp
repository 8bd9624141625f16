#include "controller_audio_env.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tamsel::testing {

namespace {

// The command's output, or why it failed when it printed nothing.
std::string run_and_read(const char* command) {
    std::string out;
    FILE* pipe = popen(command, "r");
    if (!pipe) return "popen failed";
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    const int status = pclose(pipe);
    if (status != 0 && out.empty()) out = "exit status " + std::to_string(status);
    return out;
}

bool wait_for_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

AudioEnvironment::AudioEnvironment() {
    char pattern[] = "/tmp/tamsel-audio-env.XXXXXX";
    const char* made = mkdtemp(pattern);
    folder_ = made ? made : "";
    if (folder_.empty()) return;
    chmod(folder_.c_str(), 0700);
    const std::string client_conf = folder_ + "/client.conf";
    std::ofstream(client_conf) << "autospawn = no\n";
    setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
    setenv("HOME", folder_.c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", client_conf.c_str(), 1);
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_RUNTIME_PATH");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    unsetenv("PIPEWIRE_REMOTE");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

AudioEnvironment::~AudioEnvironment() {
    stop_daemon();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

bool AudioEnvironment::start_daemon(std::string& why) {
    if (folder_.empty()) {
        why = "no private folder";
        return false;
    }
    const pid_t parent = getpid();
    daemon_ = fork();
    if (daemon_ < 0) {
        why = "fork failed";
        return false;
    }
    if (daemon_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        // The tests' one PulseAudio starter becomes the daemon; the death signal survives exec.
        execl(TAMSEL_PRIVATE_PULSEAUDIO, TAMSEL_PRIVATE_PULSEAUDIO, "daemon", static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string ready = std::string(TAMSEL_PRIVATE_PULSEAUDIO) + " ready " + std::to_string(daemon_) + " 2>&1";
    const std::string problem = run_and_read(ready.c_str());
    if (problem.empty()) return true;
    why = problem;
    stop_daemon();
    return false;
}

void AudioEnvironment::stop_daemon() {
    if (daemon_ <= 0) return;
    // The polite way first, with this environment; then the process itself.
    (void)std::system("pulseaudio -k >/dev/null 2>&1");
    if (!wait_for_exit(daemon_, std::chrono::seconds(5))) {
        kill(daemon_, SIGTERM);
        if (!wait_for_exit(daemon_, std::chrono::seconds(5))) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, nullptr, 0);
        }
    }
    daemon_ = -1;
}

}  // namespace tamsel::testing
