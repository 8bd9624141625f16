#pragma once
// What the worker writes: PCM chunks on standard output and the TAMSEL_CAPTURE line on
// standard error, with the rule for when that line is due.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "clock.hpp"
#include "tamsel/audio/capture.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::capture {

// Writes one converted chunk to standard output in one operation, bytes unchanged. A process
// without standard output counts as written. A raised stop ends the write early (false).
bool write_chunk(const std::uint8_t* bytes, std::size_t size, const WriteStop* stop = nullptr) noexcept;

// "TAMSEL_CAPTURE rate={} channels={} accepted_frames={} dropped_frames={} discontinuities={}\n"
std::string diagnostic_line(std::uint32_t sample_rate, std::uint16_t channels, std::uint64_t accepted_frames,
                            std::uint64_t dropped_frames, std::uint64_t discontinuities);

// Decides after each pass of the worker loop whether a diagnostic line is due: with
// diagnostics on about once per second, otherwise only when frames were dropped since the last
// line; never sooner than one second after the previous line (or the worker's start).
class DiagnosticCheck {
public:
    DiagnosticCheck(bool diagnostics_enabled, MonotonicClock::time_point started) noexcept
        : enabled_(diagnostics_enabled), last_line_(started) {}

    // When the next line may be due: a second after the last one (or the start) while
    // diagnostics are on or frames were dropped since the last line; none otherwise. A worker
    // going to sleep wakes by then.
    std::optional<MonotonicClock::time_point> next_due(const CaptureCounters& counters) const noexcept;

    // The line to print now, or an empty string. Reads the counters at this moment.
    std::string check(MonotonicClock::time_point now, const CaptureCounters& counters, std::uint32_t sample_rate,
                      std::uint16_t channels);

private:
    bool enabled_;
    MonotonicClock::time_point last_line_;
    std::uint64_t last_dropped_ = 0;
};

}  // namespace tamsel::capture
