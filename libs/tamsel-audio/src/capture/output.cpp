#include "output.hpp"

#include "tamsel/audio/platform.hpp"

namespace tamsel::capture {

bool write_chunk(const std::uint8_t* bytes, std::size_t size, const WriteStop* stop) noexcept {
    return write_stdout(bytes, size, stop) == 0;
}

std::string diagnostic_line(std::uint32_t sample_rate, std::uint16_t channels, std::uint64_t accepted_frames,
                            std::uint64_t dropped_frames, std::uint64_t discontinuities) {
    std::string line = "TAMSEL_CAPTURE rate=";
    line += std::to_string(sample_rate);
    line += " channels=";
    line += std::to_string(channels);
    line += " accepted_frames=";
    line += std::to_string(accepted_frames);
    line += " dropped_frames=";
    line += std::to_string(dropped_frames);
    line += " discontinuities=";
    line += std::to_string(discontinuities);
    line += '\n';
    return line;
}

std::optional<MonotonicClock::time_point> DiagnosticCheck::next_due(const CaptureCounters& counters) const noexcept {
    if (!enabled_ && counters.dropped_frames.load(std::memory_order_relaxed) == last_dropped_) return std::nullopt;
    return last_line_ + std::chrono::seconds(1);
}

std::string DiagnosticCheck::check(MonotonicClock::time_point now, const CaptureCounters& counters,
                                   std::uint32_t sample_rate, std::uint16_t channels) {
    const std::uint64_t dropped = counters.dropped_frames.load(std::memory_order_relaxed);
    if (!enabled_ && dropped == last_dropped_) return {};
    if (now - last_line_ < std::chrono::seconds(1)) return {};
    last_line_ = now;
    last_dropped_ = dropped;
    return diagnostic_line(sample_rate, channels, counters.accepted_frames.load(std::memory_order_relaxed), dropped,
                           counters.discontinuities.load(std::memory_order_relaxed));
}

}  // namespace tamsel::capture
