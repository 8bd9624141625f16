#pragma once
// TEST-ONLY STAND-IN for a Windows that lacks a DLL: Wine's per-program load order
// (HKCU\Software\Wine\AppDefaults\<program>\DllOverrides, an empty value disables the DLL) makes
// every program of that file name started while it exists fail to load the DLL with
// ERROR_MOD_NOT_FOUND, as a system without it would. The key is Wine's alone (Windows ignores it);
// Wine reads the WINEDLLOVERRIDES variable only from the environment a process starts with, so a
// test cannot disable a DLL for one child through the environment. Removed again on destruction.
#include <windows.h>

#include <string>

namespace tamsel::test_support {

class WineDllDisabled {
public:
    // `program`: the file name of the program (tamsel_driver_setup.exe); `dll`: the DLL's name
    // without ".dll" (bcrypt).
    WineDllDisabled(const std::wstring& program, const std::wstring& dll)
        : key_(L"Software\\Wine\\AppDefaults\\" + program) {
        HKEY overrides = nullptr;
        const std::wstring path = key_ + L"\\DllOverrides";
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &overrides, nullptr) !=
            ERROR_SUCCESS)
            return;
        const wchar_t disabled[] = L"";
        set_ = RegSetValueExW(overrides, dll.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(disabled),
                              sizeof disabled) == ERROR_SUCCESS;
        RegCloseKey(overrides);
    }
    ~WineDllDisabled() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    WineDllDisabled(const WineDllDisabled&) = delete;
    WineDllDisabled& operator=(const WineDllDisabled&) = delete;

    bool set() const { return set_; }

private:
    std::wstring key_;
    bool set_ = false;
};

}  // namespace tamsel::test_support
