#pragma once
// Counting this process's open kernel handles of one kind, for tests that must show a path
// closes what it opened. GetProcessHandleCount would do, but Wine answers it with 0 always;
// asking each possible handle value of the low range instead works on Wine and on Windows alike
// (a small test process keeps its handles there). Only handles of the kind asked for count:
// Wine's own threads open and close other handles at any time.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace tamsel::test_support {

// Handles that pass `is_kind`.
template <class Kind>
std::size_t open_handle_count(Kind is_kind) {
    constexpr std::uintptr_t LAST_VALUE = 0x4000;  // 4096 handle values, multiples of 4
    std::size_t open = 0;
    for (std::uintptr_t value = 4; value <= LAST_VALUE; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (GetHandleInformation(handle, &flags) && is_kind(handle)) ++open;
    }
    return open;
}

// Handles of this very process (what OpenProcess on our own pid gives).
inline std::size_t own_process_handles() {
    return open_handle_count([](HANDLE h) { return GetProcessId(h) == GetCurrentProcessId(); });
}

// Thread handles of any thread of this process.
inline std::size_t thread_handles() {
    return open_handle_count([](HANDLE h) { return GetThreadId(h) != 0; });
}

inline bool handle_is_open(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

}  // namespace tamsel::test_support
