#pragma once
// What the test loopback engine (inside the capture host) and the stand-in translator share:
// the names of the environment variables that point the engine at its script, its record and
// a named shared-memory block, and the layout of that block.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace tamsel::test_engine {

inline constexpr const wchar_t* SCENARIO_VARIABLE = L"TAMSEL_TEST_ENGINE_SCENARIO";  // file with the script
inline constexpr const wchar_t* RECORD_VARIABLE = L"TAMSEL_TEST_ENGINE_RECORD";      // file the engine appends to
inline constexpr const wchar_t* SHARED_VARIABLE = L"TAMSEL_TEST_ENGINE_SHARED";      // name of the shared block

inline constexpr std::size_t MAX_TIMED_PACKETS = 1 << 16;

struct SharedBlock {
    // Written by the translator: the engine position just past the last frame it has received
    // (fast pace keeps the engine at most the script's window ahead of it).
    std::atomic<std::uint64_t> translator_position;
    // Written by a relay translator: the host's process handle, duplicated into the test.
    std::atomic<std::uint64_t> host_handle;
    std::atomic<std::uint32_t> host_pid;
    // Set by the test when the helper processes (relay translator, target) are to act.
    std::atomic<std::uint32_t> go;
    // Written by the engine: when ActivateAudioInterfaceAsync was called (QueryPerformanceCounter),
    // packets made ready so far, and when each of the first
    // MAX_TIMED_PACKETS became ready (QueryPerformanceCounter).
    std::atomic<std::int64_t> activated_at;
    std::atomic<std::uint64_t> packets_ready;
    std::int64_t ready_time[MAX_TIMED_PACKETS];
};

}  // namespace tamsel::test_engine
