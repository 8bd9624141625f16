#pragma once
// Float frames to mono signed 16-bit little-endian PCM.
//
// Per frame: sum the samples in single precision in channel order starting from -0.0f, divide
// by the channel count as a float, clamp to [-1, 1] (a NaN passes both tests), multiply by
// 32767, truncate toward zero with a NaN giving 0, saturate to -32768..32767. Every finite or
// infinite input therefore lands in -32767..32767.

#include <cstddef>
#include <cstdint>

namespace tamsel::capture {

// True when `channels` is non-zero and `sample_count` a multiple of it.
constexpr bool whole_frames(std::size_t sample_count, std::uint16_t channels) noexcept {
    return channels != 0 && sample_count % channels == 0;
}

// The conversion used by the pipeline: vector blocks for 1 and 2 channels (SSE2 on x86-64,
// compiler-vectorised loops elsewhere), the scalar rule for any other count. Writes 2 bytes per frame to `out`; returns false (writing nothing)
// for an incomplete frame. The output is bit-identical to convert_frames_scalar.
bool convert_frames(const float* samples, std::size_t sample_count, std::uint16_t channels,
                    std::uint8_t* out) noexcept;

// The same blocks written as plain loops for the compiler to vectorise: what convert_frames
// is on targets without SSE2 (ARM64); built everywhere so it is tested everywhere.
bool convert_frames_portable(const float* samples, std::size_t sample_count, std::uint16_t channels,
                             std::uint8_t* out) noexcept;

// The rule written out frame by frame, compiled without vectorisation: the reference the fast
// path is tested and measured against, and the path for unusual channel counts.
bool convert_frames_scalar(const float* samples, std::size_t sample_count, std::uint16_t channels,
                           std::uint8_t* out) noexcept;

}  // namespace tamsel::capture
