#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel {

struct NamedThread::State {
    pthread_t handle{};
    std::function<void()> body;
    std::string name;
};

namespace {
void* thread_entry(void* raw) {
    // The thread's own reference to the state, handed over by start_named_thread.
    const std::unique_ptr<std::shared_ptr<NamedThread::State>> owned(static_cast<std::shared_ptr<NamedThread::State>*>(raw));
    NamedThread::State* state = owned->get();
    // The kernel limits names to 15 bytes plus the terminator.
    const std::string short_name = state->name.substr(0, 15);
    pthread_setname_np(pthread_self(), short_name.c_str());
    state->body();
    state->body = nullptr;  // release captured state on the thread that used it
    return nullptr;
}
}  // namespace

void NamedThread::join() {
    if (!state_) return;
    pthread_join(state_->handle, nullptr);
    state_.reset();
}

void NamedThread::detach() {
    if (!state_) return;
    pthread_detach(state_->handle);
    state_.reset();  // the thread's own reference frees the state when it ends
}

Result<NamedThread> start_named_thread(std::string_view name, std::function<void()> body) {
    auto state = std::make_shared<NamedThread::State>();
    state->body = std::move(body);
    state->name = std::string(name);
    auto* thread_reference = new std::shared_ptr<NamedThread::State>(state);
    const int rc = pthread_create(&state->handle, nullptr, &thread_entry, thread_reference);
    if (rc != 0) {
        delete thread_reference;
        return fail(os_error_text(rc));
    }
    return NamedThread(std::move(state));
}

// The ordinary sleep is precise here: there is no timer object to hold.
IdleTimer::IdleTimer() noexcept : high_resolution_(true) {}
IdleTimer::~IdleTimer() { (void)timer_; }

void IdleTimer::wait(std::chrono::microseconds period) noexcept {
    struct timespec left {};
    left.tv_sec = static_cast<time_t>(period.count() / 1000000);
    left.tv_nsec = static_cast<long>(period.count() % 1000000) * 1000;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::string system_message(std::int32_t code) {
    char buffer[256];
    // GNU strerror_r returns the message pointer (maybe not into buffer).
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(trim_trailing_space(text ? text : ""));
}

void write_stderr_line(std::string_view line) {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::int32_t write_stdout(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EBADF) return 0;  // no standard output at all: goes nowhere
        if (n < 0) return errno;
        if (n == 0) return EIO;  // nothing moved, and no error said why
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

bool environment_defined(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace tamsel
