/* TEST DLL ONLY: loaded, it leaves a marker file, "<its own path>.loaded", and does nothing
 * else. The driver setup program's Wine test puts copies of it beside the program under the names
 * of the DLLs the program imports or loads, and behind a COM class an external manifest names:
 * a marker shows that the program loaded code from its own folder. Built into its own folder
 * (build/<preset>/test-marker-dll/), never into bin/, never shipped. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 8];
        const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcatW(path, L".loaded");
            HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
        }
    }
    return TRUE;
}
