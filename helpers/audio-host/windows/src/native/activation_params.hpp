#pragma once
// The process-loopback activation parameters. Newer Windows SDKs declare them in
// <audioclientactivationparams.h>; mingw-w64 10 lacks that header, so the same declarations are
// made here with the same names, layout and values.
#include <windows.h>

#include <cstddef>

#if __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#else

#define VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK L"VAD\\Process_Loopback"

typedef enum AUDIOCLIENT_ACTIVATION_TYPE {
    AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
    AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
} AUDIOCLIENT_ACTIVATION_TYPE;

typedef enum PROCESS_LOOPBACK_MODE {
    PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
    PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
} PROCESS_LOOPBACK_MODE;

typedef struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
    DWORD TargetProcessId;
    PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
} AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS;

typedef struct AUDIOCLIENT_ACTIVATION_PARAMS {
    AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
    union {
        AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
    };
} AUDIOCLIENT_ACTIVATION_PARAMS, *PAUDIOCLIENT_ACTIVATION_PARAMS;

#endif

// The audio engine reads three consecutive 32-bit fields: type, target pid, loopback mode.
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "activation parameters must be 12 bytes");
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_TYPE) == 4 && sizeof(PROCESS_LOOPBACK_MODE) == 4);
static_assert(offsetof(AUDIOCLIENT_ACTIVATION_PARAMS, ProcessLoopbackParams) == 4);
static_assert(offsetof(AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS, ProcessLoopbackMode) == 4);
static_assert(AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK == 1);
static_assert(PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE == 0);
static_assert(PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE == 1);
