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

std::string run_and_read(const char* command) {
    std::string out;
    FILE* pipe = popen(command, "r");
    if (!pipe) return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
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
        execlp("pulseaudio", "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
               "--load=module-native-protocol-unix", "--load=module-null-sink sink_name=cable rate=48000",
               "--load=module-null-sink sink_name=other rate=44100", static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string sinks = run_and_read("pactl list short sinks 2>/dev/null");
        if (sinks.find("cable") != std::string::npos && sinks.find("other") != std::string::npos) return true;
        int status = 0;
        if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
            daemon_ = -1;
            why = "pulseaudio exited early";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why = "pulseaudio did not list both sinks in time";
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
