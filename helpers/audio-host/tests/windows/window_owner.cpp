// A test program that owns two visible top-level windows and one hidden one, so the host's
// list must show it exactly once; with "--hidden-only" on its command line it owns the hidden
// window alone, so the list must not show it at all. It ends when its window is closed, or
// after two minutes.
#include <windows.h>

#include <cwchar>

namespace {

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY || (message == WM_TIMER && wparam == 1)) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int main() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = &window_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"TamselWindowOwner";
    if (!RegisterClassW(&window_class)) return 2;

    // Read from the command line itself, whatever entry the program has.
    if (std::wcsstr(GetCommandLineW(), L"--hidden-only") != nullptr) {
        HWND hidden = CreateWindowExW(0, window_class.lpszClassName, L"Tamsel hidden window", WS_OVERLAPPEDWINDOW, 50, 50,
                                      200, 100, nullptr, nullptr, instance, nullptr);
        if (!hidden) return 3;
        SetTimer(hidden, 1, 120000, nullptr);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        return 0;
    }

    HWND first = CreateWindowExW(0, window_class.lpszClassName, L"Tamsel test window 1", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 10, 10, 200, 100, nullptr, nullptr, instance, nullptr);
    HWND second = CreateWindowExW(0, window_class.lpszClassName, L"Tamsel test window 2",
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE, 30, 30, 200, 100, nullptr, nullptr, instance, nullptr);
    HWND hidden = CreateWindowExW(0, window_class.lpszClassName, L"Tamsel hidden window", WS_OVERLAPPEDWINDOW, 50, 50,
                                  200, 100, nullptr, nullptr, instance, nullptr);
    if (!first || !second || !hidden) return 3;
    ShowWindow(first, SW_SHOWNORMAL);
    ShowWindow(second, SW_SHOWNORMAL);
    SetTimer(first, 1, 120000, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
