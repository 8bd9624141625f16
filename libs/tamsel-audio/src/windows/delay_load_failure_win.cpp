// The delay-load helper's failure hook, linked into every Windows program as an object of its
// own (so it, and not the runtime's empty default, defines the hook with every linker). The DLLs
// that are not KnownDLLs are delay-loaded: a DLL or a function that this Windows does not have
// is met at the first call, on whichever thread makes it. Without the hook the helper raises a
// structured exception there, which no C++ handler catches: the process would end with a crash
// code and no line. With it, the failure ends the program like any other, through its own
// report (tamsel::fail_program): "load {dll}" or "find {function} in {dll}" (the DLL's name in
// lower case) with the system's error code, and the program's failure exit code.
#include <windows.h>

#include <delayimp.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "tamsel/audio/entry_guard.hpp"

namespace {

// Text put together without allocating: the hook may run where memory has run out.
class Context {
public:
    Context& operator<<(std::string_view part) noexcept {
        for (const char c : part) put(c);
        return *this;
    }
    Context& operator<<(std::uint32_t number) noexcept {
        std::array<char, 10> digits{};
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (n != 0) put(digits[--n]);
        return *this;
    }
    // The DLL's name in lower case: the import libraries of the toolchains spell the same DLL
    // differently (SHELL32.dll, shell32.dll), and Windows file names ignore case.
    Context& dll(std::string_view name) noexcept {
        for (const char c : name) put(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        return *this;
    }
    std::string_view text() const noexcept { return {text_.data(), size_}; }

private:
    void put(char c) noexcept {
        if (size_ < text_.size()) text_[size_++] = c;
    }

    std::array<char, 512> text_{};
    std::size_t size_ = 0;
};

std::string_view name_or_empty(const char* name) noexcept { return name ? std::string_view(name) : std::string_view(); }

FARPROC WINAPI delay_load_failed(unsigned notification, PDelayLoadInfo info) {
    if (info == nullptr || (notification != dliFailLoadLib && notification != dliFailGetProc)) return nullptr;
    Context context;
    if (notification == dliFailLoadLib) {
        context << "load ";
    } else if (info->dlp.fImportByName) {
        context << "find " << name_or_empty(info->dlp.szProcName) << " in ";
    } else {
        context << "find ordinal " << static_cast<std::uint32_t>(info->dlp.dwOrdinal) << " in ";
    }
    context.dll(name_or_empty(info->szDll));
    tamsel::fail_program(context.text(), info->dwLastError);
}

}  // namespace

PfnDliHook __pfnDliFailureHook2 = delay_load_failed;
