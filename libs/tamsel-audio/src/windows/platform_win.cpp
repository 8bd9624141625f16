#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"
#include "tamsel/audio/windows/message_table.hpp"
#include "thread_start_win.hpp"

namespace tamsel {

struct NamedThread::State {
    HANDLE handle = nullptr;
    std::function<void()> body;
    std::wstring name;
};

namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription exists from Windows 10 1607 on; look it up so older systems and Wine
// builds without it still run (the name is then simply not shown).
void set_current_thread_name(const std::wstring& name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    FARPROC proc = GetProcAddress(kernel, "SetThreadDescription");
    if (!proc) return;
    SetThreadDescriptionFn fn;
    static_assert(sizeof fn == sizeof proc);
    std::memcpy(&fn, &proc, sizeof fn);
    fn(GetCurrentThread(), name.c_str());
}

DWORD WINAPI thread_entry(LPVOID raw) {
    // The thread's own reference to the state, handed over by start_named_thread.
    const std::unique_ptr<std::shared_ptr<NamedThread::State>> owned(static_cast<std::shared_ptr<NamedThread::State>*>(raw));
    NamedThread::State* state = owned->get();
    set_current_thread_name(state->name);
    state->body();
    state->body = nullptr;
    return 0;
}

// With a stop, no WriteFile starts once it is raised; one already blocked is cancelled by
// NamedThread::join_cancelling_io and fails with ERROR_OPERATION_ABORTED.
bool write_all(HANDLE handle, const char* p, std::size_t left, const WriteStop* stop) {
    while (left > 0) {
        if (stop != nullptr && stop->raised()) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        const DWORD part = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle, p, part, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);  // nothing moved, and no error said why
            return false;
        }
        p += written;
        left -= written;
    }
    return true;
}

}  // namespace

void NamedThread::join() {
    if (!state_) return;
    WaitForSingleObject(state_->handle, INFINITE);
    CloseHandle(state_->handle);
    state_.reset();
}

void NamedThread::join_cancelling_io() {
    if (!state_) return;
    // A cancel finds only a write that has begun; the thread looks at its stop before each one.
    while (WaitForSingleObject(state_->handle, 10) == WAIT_TIMEOUT) CancelSynchronousIo(state_->handle);
    join();
}

void NamedThread::detach() {
    if (!state_) return;
    CloseHandle(state_->handle);
    state_.reset();  // the thread's own reference frees the state when it ends
}

namespace win {

Result<std::shared_ptr<NamedThread::State>> start_thread_state(std::string_view name, std::function<void()> body,
                                                               ResumeThreadCall resume) {
    auto state = std::make_shared<NamedThread::State>();
    state->body = std::move(body);
    state->name = utf8_to_wide(name);
    auto thread_reference = std::make_unique<std::shared_ptr<NamedThread::State>>(state);
    // Created suspended so the handle is stored before the thread can look at its state.
    HANDLE handle = CreateThread(nullptr, 0, &thread_entry, thread_reference.get(), CREATE_SUSPENDED, nullptr);
    if (!handle) return fail(os_error_text(static_cast<std::int32_t>(GetLastError())));
    state->handle = handle;
    if (resume(handle) == static_cast<DWORD>(-1)) {
        // The thread never ran a line of its own, so ending it leaves nothing half done; its
        // reference to the state is still ours to free.
        const DWORD code = GetLastError();
        TerminateThread(handle, 0);
        WaitForSingleObject(handle, INFINITE);
        CloseHandle(handle);
        return fail(os_error_text(static_cast<std::int32_t>(code)));
    }
    // The running thread owns its reference from here.
    (void)thread_reference.release();
    return state;
}

std::string message_table_text(std::uint32_t code, HMODULE module) {
    const DWORD source = module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | source | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        module, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    // Owned at once, so the conversion below may throw without leaking the buffer.
    const std::unique_ptr<wchar_t, HLOCAL (*)(HLOCAL)> owned(buffer, &LocalFree);
    if (length == 0 || !buffer) return {};
    return std::string(trim_trailing_space(wide_to_utf8(std::wstring_view(buffer, length))));
}

}  // namespace win

Result<NamedThread> start_named_thread(std::string_view name, std::function<void()> body) {
    Result<std::shared_ptr<NamedThread::State>> state = win::start_thread_state(name, std::move(body), &ResumeThread);
    if (!state) return state.error_result();
    return NamedThread(std::move(*state));
}

std::string system_message(std::int32_t code) { return win::message_table_text(static_cast<std::uint32_t>(code)); }

namespace {
void* create_system_timer(std::uint32_t flags) noexcept {
    return CreateWaitableTimerExW(nullptr, nullptr, flags, TIMER_ALL_ACCESS);
}
}  // namespace

IdleTimer::IdleTimer() noexcept : IdleTimer(&create_system_timer) {}

IdleTimer::IdleTimer(CreateTimer create) noexcept {
    // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 on); older systems refuse the flag
    // and get an ordinary timer, which wakes at the next tick.
    constexpr std::uint32_t HIGH_RESOLUTION = 0x00000002;
    void* timer = create(HIGH_RESOLUTION);
    high_resolution_ = timer != nullptr;
    if (!timer) timer = create(0);
    timer_ = timer;
}

IdleTimer::~IdleTimer() {
    if (timer_) CloseHandle(static_cast<HANDLE>(timer_));
}

void IdleTimer::wait(std::chrono::nanoseconds period, const WriteStop* stop) noexcept {
    if (period <= std::chrono::nanoseconds{0}) return;
    if (stop != nullptr && stop->raised()) return;
    HANDLE raised = stop != nullptr ? static_cast<HANDLE>(stop->event()) : nullptr;
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>((period.count() + 99) / 100);  // relative, in 100 ns units
    if (timer_ && SetWaitableTimer(static_cast<HANDLE>(timer_), &due, 0, nullptr, nullptr, FALSE)) {
        const HANDLE handles[2] = {static_cast<HANDLE>(timer_), raised};
        const DWORD result = WaitForMultipleObjects(raised ? 2 : 1, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) return;
    }
    const auto ms = static_cast<DWORD>((period.count() + 999999) / 1000000);
    if (raised) {
        (void)WaitForSingleObject(raised, ms);
    } else {
        Sleep(ms);
    }
}

// The flag is all a Windows write needs (the cancel reaches the writing thread directly); the
// event ends an idle wait. Without an event an idle wait runs its course.
WriteStop::WriteStop() noexcept : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
WriteStop::~WriteStop() {
    if (event_) CloseHandle(static_cast<HANDLE>(event_));
}
void WriteStop::raise() noexcept {
    raised_.store(true, std::memory_order_release);
    if (event_) SetEvent(static_cast<HANDLE>(event_));
}

void write_stderr_line(std::string_view line, const WriteStop* stop) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    write_all(handle, line.data(), line.size(), stop);
}

std::int32_t write_stdout(const void* data, std::size_t size, const WriteStop* stop) {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;  // no standard output: goes nowhere
    if (write_all(handle, static_cast<const char*>(data), size, stop)) return 0;
    const DWORD error = GetLastError();
    // A handle value that is no handle (closed, or never one) is no standard output either, as
    // EBADF is on Linux: the bytes go nowhere and that is not a failure.
    if (error == ERROR_INVALID_HANDLE) return 0;
    return static_cast<std::int32_t>(error);
}

bool environment_defined(const char* name) {
    // GetEnvironmentVariableW distinguishes an empty value (returns 0, no error) from an
    // undefined one (ERROR_ENVVAR_NOT_FOUND).
    const std::wstring wide = utf8_to_wide(name);
    wchar_t probe[1];
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wide.c_str(), probe, 1);
    return n != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

Result<std::vector<std::string>> command_line_arguments() {
    int count = 0;
    struct LocalFreeDeleter {
        void operator()(LPWSTR* p) const noexcept { LocalFree(p); }
    };
    const std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    if (argv == nullptr) return fail(os_error_text(static_cast<std::int32_t>(GetLastError())));
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) args.push_back(wide_to_utf8(argv.get()[i]));
    return args;
}

std::uint32_t restrict_dll_search_to_system32() noexcept {
    if (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 0;
    return static_cast<std::uint32_t>(GetLastError());
}

}  // namespace tamsel
