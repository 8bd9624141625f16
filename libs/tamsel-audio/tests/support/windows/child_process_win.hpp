#pragma once
// Starting a child program from a Windows test and collecting its standard output, standard
// error and exit code.
//
// Only the child's ends of the pipes are inheritable, and they are passed with an explicit
// handle list (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), so no other process (Wine's own service
// processes included) can hold a write end open; the parent closes its copies right after
// CreateProcessW, so each read ends when the child (and only the child) is gone.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tamsel::test_support {

// Quotes one argument by the rules CommandLineToArgvW and the C runtime use to split it again.
inline std::wstring quote_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

inline std::wstring command_line(const std::wstring& program, const std::vector<std::wstring>& args) {
    std::wstring line = quote_argument(program);
    for (const std::wstring& arg : args) {
        line.push_back(L' ');
        line += quote_argument(arg);
    }
    return line;
}

// The full path of the running test program.
inline std::wstring own_program() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path;
}

// The folder of the running test program, with a trailing backslash: the programs of one
// build sit side by side in bin/.
inline std::wstring own_folder() {
    const std::wstring path = own_program();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// CTest passes Linux paths; Wine maps / to drive Z:.
inline std::wstring windows_path(std::wstring path) {
    if (!path.empty() && path[0] == L'/') {
        for (wchar_t& c : path) {
            if (c == L'/') c = L'\\';
        }
        path = L"Z:" + path;
    }
    return path;
}

inline std::uint64_t creation_time(HANDLE process) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) return 0;
    return (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

inline std::string read_all(HANDLE pipe) {
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    return data;
}

// What the child's standard input is.
enum class ChildInput {
    closed_pipe,  // a pipe whose write end is closed at once: the child reads end-of-file
    open_pipe,    // a pipe kept open (nothing written) until the child has ended
    null_device,  // NUL
};

struct ChildOptions {
    ChildInput input = ChildInput::closed_pipe;
    // False: the child's standard output is a pipe nobody reads, so every write to it fails.
    bool read_stdout = true;
    // The child's current folder; empty for ours.
    std::wstring working_folder;
    // True: the child gets a console of its own (hidden) instead of none.
    bool own_console = false;
};

// A started child; terminated (if still running) and closed on destruction.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept { *this = std::move(other); }
    Child& operator=(Child&& other) noexcept {
        std::swap(process_, other.process_);
        std::swap(pid_, other.pid_);
        std::swap(in_, other.in_);
        std::swap(out_, other.out_);
        std::swap(err_, other.err_);
        std::swap(listed_, other.listed_);
        return *this;
    }
    ~Child() {
        if (process_) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_, 99);
                WaitForSingleObject(process_, 10000);
            }
            CloseHandle(process_);
        }
        close(in_);
        close(out_);
        close(err_);
    }

    // Starts `program` with `args`; `error` gets the failing call's last error on failure.
    static Child start(const std::wstring& program, const std::vector<std::wstring>& args, DWORD* error = nullptr,
                       const ChildOptions& options = {}) {
        Child child;
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE in_read = nullptr, out_write = nullptr, err_write = nullptr;
        const auto fail = [&](DWORD code) {
            if (error) *error = code;
            close(in_read);
            close(out_write);
            close(err_write);
            close(child.in_);
            close(child.out_);
            close(child.err_);
            return std::move(child);
        };
        if (!CreatePipe(&child.out_, &out_write, &inherit, 0) || !CreatePipe(&child.err_, &err_write, &inherit, 0)) {
            return fail(GetLastError());
        }
        if (options.input == ChildInput::null_device) {
            in_read = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                  nullptr);
            if (in_read == INVALID_HANDLE_VALUE) {
                in_read = nullptr;
                return fail(GetLastError());
            }
        } else if (!CreatePipe(&in_read, &child.in_, &inherit, 0)) {
            return fail(GetLastError());
        }
        // The parent's ends stay private.
        SetHandleInformation(child.out_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(child.err_, HANDLE_FLAG_INHERIT, 0);
        if (child.in_) SetHandleInformation(child.in_, HANDLE_FLAG_INHERIT, 0);
        if (options.input == ChildInput::closed_pipe) close(child.in_);
        if (!options.read_stdout) close(child.out_);

        HANDLE inherited[3] = {in_read, out_write, err_write};
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<unsigned char> storage(size);
        auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        const bool initialized = InitializeProcThreadAttributeList(attributes, 1, 0, &size);
        const bool listed = initialized && UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                                     inherited, sizeof inherited, nullptr, nullptr);

        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        if (options.own_console) {
            startup.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
            startup.StartupInfo.wShowWindow = SW_HIDE;
        }
        startup.StartupInfo.hStdInput = in_read;
        startup.StartupInfo.hStdOutput = out_write;
        startup.StartupInfo.hStdError = err_write;
        startup.lpAttributeList = listed ? attributes : nullptr;

        std::wstring line = command_line(program, args);
        PROCESS_INFORMATION info{};
        const BOOL created = CreateProcessW(
            program.c_str(), line.data(), nullptr, nullptr, TRUE,
            (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) | (options.own_console ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW),
            nullptr,
            options.working_folder.empty() ? nullptr : options.working_folder.c_str(), &startup.StartupInfo, &info);
        const DWORD created_error = GetLastError();
        if (initialized) DeleteProcThreadAttributeList(attributes);
        if (!created) return fail(created_error);
        // The child has its copies now; ours would keep the pipes open past its end.
        close(in_read);
        close(out_write);
        close(err_write);
        CloseHandle(info.hThread);
        child.process_ = info.hProcess;
        child.pid_ = info.dwProcessId;
        child.listed_ = listed;
        return child;
    }

    // Lets the child run on by itself: closes our handles without ending it.
    void detach() noexcept {
        if (process_) CloseHandle(process_);
        process_ = nullptr;
    }

    // Hand our ends of the child's standard output and error to the caller, who reads and
    // closes them; finish() then collects only what it still holds.
    HANDLE take_stdout() noexcept {
        HANDLE out = out_;
        out_ = nullptr;
        return out;
    }
    HANDLE take_stderr() noexcept {
        HANDLE err = err_;
        err_ = nullptr;
        return err;
    }
    bool started() const noexcept { return process_ != nullptr; }
    HANDLE process() const noexcept { return process_; }
    DWORD pid() const noexcept { return pid_; }
    // Whether the child got only its own ends through the handle list (false: the list could
    // not be set up and it inherited every inheritable handle).
    bool handles_listed() const noexcept { return listed_; }

    struct Output {
        std::string out;
        std::string err;
        DWORD exit_code = 0;
        bool finished = false;  // ended by itself within the time
        // Each stream reached its end soon after the child was gone (false: some other
        // process still holds a write end).
        bool out_ended = true;
        bool err_ended = true;
    };

    // Reads both streams concurrently and waits for the exit, at most timeout_ms; a child still
    // running then is terminated (exit code 99). Our end of an open standard input is closed
    // once the child is gone.
    Output finish(DWORD timeout_ms = 60000) {
        Output result;
        if (!process_) return result;
        Reader* out = out_ ? Reader::start(out_) : nullptr;
        Reader* err = err_ ? Reader::start(err_) : nullptr;
        result.finished = WaitForSingleObject(process_, timeout_ms) == WAIT_OBJECT_0;
        if (!result.finished) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 10000);
        }
        GetExitCodeProcess(process_, &result.exit_code);
        close(in_);
        if (out_) result.out_ended = Reader::collect(out, result.out);
        if (err_) result.err_ended = Reader::collect(err, result.err);
        return result;
    }

private:
    // A thread reading one pipe to its end.
    struct Reader {
        HANDLE pipe = nullptr;
        HANDLE thread = nullptr;
        std::string data;

        static DWORD WINAPI run(void* raw) {
            auto* reader = static_cast<Reader*>(raw);
            reader->data = read_all(reader->pipe);
            return 0;
        }
        static Reader* start(HANDLE pipe) {
            auto* reader = new Reader{pipe, nullptr, {}};
            reader->thread = CreateThread(nullptr, 0, &run, reader, 0, nullptr);
            if (!reader->thread) {
                delete reader;
                return nullptr;
            }
            return reader;
        }
        // Waits a short time for the end of the stream (the child is gone, so only a stray
        // copy of the write end can hold it open), then cancels the read. False if the end did
        // not come or no reader could be started; a reader that cannot be stopped keeps its
        // state, since its thread still uses it.
        static bool collect(Reader* reader, std::string& data) {
            if (!reader) return false;
            bool ended = WaitForSingleObject(reader->thread, 5000) == WAIT_OBJECT_0;
            if (!ended) {
                CancelSynchronousIo(reader->thread);
                if (WaitForSingleObject(reader->thread, 5000) != WAIT_OBJECT_0) return false;
            }
            CloseHandle(reader->thread);
            data = std::move(reader->data);
            delete reader;
            return ended;
        }
    };

    static void close(HANDLE& handle) noexcept {
        if (handle) CloseHandle(handle);
        handle = nullptr;
    }

    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HANDLE in_ = nullptr;
    HANDLE out_ = nullptr;
    HANDLE err_ = nullptr;
    bool listed_ = false;
};

}  // namespace tamsel::test_support
