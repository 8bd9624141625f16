// Built with vectorisation switched off (see capture.cmake): this is the baseline that the
// benchmarks compare the fast conversion with.
#include <cmath>

#include "convert.hpp"

namespace tamsel::capture {

bool convert_frames_scalar(const float* samples, std::size_t sample_count, std::uint16_t channels,
                           std::uint8_t* out) noexcept {
    if (!whole_frames(sample_count, channels)) return false;
    const std::size_t frames = sample_count / channels;
    const float divisor = static_cast<float>(channels);
    for (std::size_t f = 0; f < frames; ++f) {
        const float* frame = samples + f * channels;
        float sum = -0.0f;
        for (std::size_t c = 0; c < channels; ++c) sum += frame[c];
        float value = sum / divisor;
        if (value < -1.0f) value = -1.0f;
        if (value > 1.0f) value = 1.0f;
        value *= 32767.0f;
        std::int32_t integer = 0;
        if (!std::isnan(value)) {
            // Truncation toward zero; the clamp keeps the value well inside int32.
            const float truncated = std::trunc(value);
            integer = truncated >= 32767.0f ? 32767 : truncated <= -32768.0f ? -32768 : static_cast<std::int32_t>(truncated);
        }
        const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(integer));
        out[2 * f] = static_cast<std::uint8_t>(bits & 0xFFu);
        out[2 * f + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    return true;
}

}  // namespace tamsel::capture
