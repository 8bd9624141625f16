#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

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

bool write_all(HANDLE handle, const char* p, std::size_t left) {
    while (left > 0) {
        const DWORD part = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle, p, part, &written, nullptr) || written == 0) return false;
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

void NamedThread::detach() {
    if (!state_) return;
    CloseHandle(state_->handle);
    state_.reset();  // the thread's own reference frees the state when it ends
}

Result<NamedThread> start_named_thread(std::string_view name, std::function<void()> body) {
    auto state = std::make_shared<NamedThread::State>();
    state->body = std::move(body);
    state->name = utf8_to_wide(name);
    auto* thread_reference = new std::shared_ptr<NamedThread::State>(state);
    // Created suspended so the handle is stored before the thread can look at its state.
    HANDLE handle = CreateThread(nullptr, 0, &thread_entry, thread_reference, CREATE_SUSPENDED, nullptr);
    if (!handle) {
        const DWORD code = GetLastError();
        delete thread_reference;
        return fail(os_error_text(static_cast<std::int32_t>(code)));
    }
    state->handle = handle;
    ResumeThread(handle);
    return NamedThread(std::move(state));
}

std::string system_message(std::int32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD len = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text;
    if (len != 0 && buffer) text = wide_to_utf8(std::wstring_view(buffer, len));
    if (buffer) LocalFree(buffer);
    return std::string(trim_trailing_space(text));
}

std::string os_error_text(std::int32_t code) {
    return system_message(code) + " (os error " + std::to_string(code) + ")";
}

void write_stderr_line(std::string_view line) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    write_all(handle, line.data(), line.size());
}

bool write_stdout_bytes(const void* data, std::size_t size) {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;  // no standard output: goes nowhere
    return write_all(handle, static_cast<const char*>(data), size);
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

}  // namespace tamsel
