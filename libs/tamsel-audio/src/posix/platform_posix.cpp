#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
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

// The thread's writes wait on their WriteStop (poll beside the stream): nothing to cancel here.
void NamedThread::join_cancelling_io() { join(); }

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

void IdleTimer::wait(std::chrono::nanoseconds period, const WriteStop* stop) noexcept {
    if (period <= std::chrono::nanoseconds{0}) return;
    if (stop != nullptr && stop->raised()) return;
    struct timespec left {};
    left.tv_sec = static_cast<time_t>(period.count() / 1000000000);
    left.tv_nsec = static_cast<long>(period.count() % 1000000000);
    if (stop == nullptr || stop->event_fd() < 0) {
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        return;
    }
    // A signal ends the wait early; the worker then simply looks at its queue sooner.
    pollfd raised{stop->event_fd(), POLLIN, 0};
    (void)::ppoll(&raised, 1, &left, nullptr);
}

std::string system_message(std::int32_t code) {
    char buffer[256];
    // GNU strerror_r returns the message pointer (maybe not into buffer).
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(trim_trailing_space(text ? text : ""));
}

WriteStop::WriteStop() noexcept : event_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // In a process started without standard streams the eventfd would become one of them.
    if (event_fd_ >= 0 && event_fd_ <= STDERR_FILENO) {
        const int moved = ::fcntl(event_fd_, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(event_fd_);
        event_fd_ = moved;
    }
}

WriteStop::~WriteStop() {
    if (event_fd_ >= 0) ::close(event_fd_);
}

void WriteStop::raise() noexcept {
    raised_.store(true, std::memory_order_release);
    if (event_fd_ >= 0) {
        const std::uint64_t one = 1;
        while (::write(event_fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

namespace {

// Writes all bytes to `fd`. With a stop, each write waits in poll for room in the stream or
// for the stop, whichever comes first: a pipe or socket that has room for a write of at most
// PIPE_BUF bytes (a chunk is 1920) takes it without blocking. Gives 0, or errno of the failure
// (ECANCELED for the stop, EBADF for a descriptor that is no stream).
std::int32_t write_all(int fd, const char* p, std::size_t left, const WriteStop* stop) {
    while (left > 0) {
        if (stop != nullptr) {
            if (stop->raised()) return ECANCELED;
            pollfd waits[2] = {{fd, POLLOUT, 0}, {stop->event_fd(), POLLIN, 0}};
            const int n = ::poll(waits, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            if ((waits[1].revents & POLLIN) != 0 || stop->raised()) return ECANCELED;
            if ((waits[0].revents & POLLNVAL) != 0) return EBADF;
            // Room, or an error or hang-up that the write reports.
        }
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;  // nothing moved, and no error said why
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

void write_stderr_line(std::string_view line, const WriteStop* stop) {
    (void)write_all(STDERR_FILENO, line.data(), line.size(), stop);
}

std::int32_t write_stdout(const void* data, std::size_t size, const WriteStop* stop) {
    const std::int32_t error = write_all(STDOUT_FILENO, static_cast<const char*>(data), size, stop);
    return error == EBADF ? 0 : error;  // no standard output at all: goes nowhere
}

bool environment_defined(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace tamsel
