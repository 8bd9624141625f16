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
#include <thread>
#include <vector>

namespace tamsel::host::testing {

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

// The folder of the running test program, with a trailing backslash: the programs of one
// build sit side by side in bin/.
inline std::wstring own_folder() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
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
        std::swap(out_, other.out_);
        std::swap(err_, other.err_);
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
        if (out_) CloseHandle(out_);
        if (err_) CloseHandle(err_);
    }

    // Starts `program` with `args`; `error` gets the failing call's last error on failure.
    // With `no_stdout_reader` the child's standard output is a pipe nobody reads, so every
    // write to it fails.
    static Child start(const std::wstring& program, const std::vector<std::wstring>& args, DWORD* error = nullptr,
                       bool no_stdout_reader = false) {
        Child child;
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE in_read = nullptr, in_write = nullptr, out_write = nullptr, err_write = nullptr;
        if (!CreatePipe(&child.out_, &out_write, &inherit, 0) || !CreatePipe(&child.err_, &err_write, &inherit, 0) ||
            !CreatePipe(&in_read, &in_write, &inherit, 0)) {
            if (error) *error = GetLastError();
            return child;
        }
        // The parent's ends stay private.
        SetHandleInformation(child.out_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(child.err_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
        CloseHandle(in_write);  // the child's standard input reads end-of-file at once
        if (no_stdout_reader) {
            CloseHandle(child.out_);
            child.out_ = nullptr;
        }

        HANDLE inherited[3] = {in_read, out_write, err_write};
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<unsigned char> storage(size);
        auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        bool listed = InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
                      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                sizeof inherited, nullptr, nullptr);

        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = in_read;
        startup.StartupInfo.hStdOutput = out_write;
        startup.StartupInfo.hStdError = err_write;
        startup.lpAttributeList = listed ? attributes : nullptr;

        std::wstring line = command_line(program, args);
        PROCESS_INFORMATION info{};
        const BOOL created = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                           (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) | CREATE_NO_WINDOW, nullptr,
                                           nullptr, &startup.StartupInfo, &info);
        const DWORD created_error = GetLastError();
        if (listed) DeleteProcThreadAttributeList(attributes);
        CloseHandle(in_read);
        CloseHandle(out_write);
        CloseHandle(err_write);
        if (!created) {
            if (error) *error = created_error;
            return child;
        }
        CloseHandle(info.hThread);
        child.process_ = info.hProcess;
        child.pid_ = info.dwProcessId;
        return child;
    }

    // Lets the child run on by itself: closes our handles without ending it.
    void detach() noexcept {
        if (process_) CloseHandle(process_);
        process_ = nullptr;
    }

    bool started() const noexcept { return process_ != nullptr; }
    HANDLE process() const noexcept { return process_; }
    DWORD pid() const noexcept { return pid_; }

    struct Output {
        std::string out;
        std::string err;
        DWORD exit_code = 0;
        bool finished = false;
    };

    // Reads both streams to their end and waits for the exit, at most timeout_ms.
    Output finish(DWORD timeout_ms = 60000) {
        Output result;
        std::thread err_reader([&] { result.err = read_all(err_); });
        if (out_) result.out = read_all(out_);
        err_reader.join();
        result.finished = WaitForSingleObject(process_, timeout_ms) == WAIT_OBJECT_0;
        GetExitCodeProcess(process_, &result.exit_code);
        return result;
    }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HANDLE out_ = nullptr;
    HANDLE err_ = nullptr;
};

}  // namespace tamsel::host::testing
