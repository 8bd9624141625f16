/* The two kernel-streaming format GUIDs cubeb's WASAPI backend refers to. zig 0.11's ksuser
   import library for ARM64 does not define them (llvm-mingw's and mingw-w64's do). */
#define INITGUID
#include <windows.h>
#include <guiddef.h>

DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 0x00000003L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
