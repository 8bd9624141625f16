#pragma once
// The top-level windows a test sees right now, by owner process, and whether there is a
// display to make windows on at all (scripts/test runs the Windows tests under Xvfb).
#include <windows.h>

#include <vector>

namespace tamsel::test_support {

inline bool has_display() {
    wchar_t probe[2];
    return GetEnvironmentVariableW(L"DISPLAY", probe, 2) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

// How many top-level windows `pid` owns: the visible ones only, or all of them.
inline int top_windows_of(DWORD pid, bool visible_only) {
    struct Search {
        DWORD pid;
        bool visible_only;
        int count = 0;
    } search{pid, visible_only};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            if (s->visible_only && !IsWindowVisible(window)) return TRUE;
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid) ++s->count;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.count;
}

}  // namespace tamsel::test_support
