// The fast conversion. Frames are converted in fixed blocks so the compiler vectorises the
// inner loops on every target (SSE2 on x86-64, NEON on ARM64) with no intrinsics and no
// run-time dispatch; the remainder of a chunk goes through the scalar rule.
//
// Why the blocks match the scalar rule bit for bit:
// - the scalar sum starts from -0.0f, and -0.0f + x == x for every x that is not a NaN (a NaN
//   stays a NaN, and every NaN ends as 0), so the first add can be left out;
// - dividing by 2.0f is exact scaling, the same value as multiplying by 0.5f, and by 1.0f
//   changes nothing;
// - clamping, scaling and truncation use the same single-precision operations in the same
//   order; after the clamp the value lies in -32767..32767, so saturation never applies.
#include <bit>
#include <cmath>
#include <cstring>

#include "convert.hpp"
#include "tamsel/audio/capture.hpp"

namespace tamsel::capture {
namespace {

constexpr std::size_t BLOCK_FRAMES = 64;

inline std::int16_t to_pcm(float value) noexcept {
    value = value < -1.0f ? -1.0f : value;
    value = value > 1.0f ? 1.0f : value;
    value *= 32767.0f;
    value = std::isnan(value) ? 0.0f : value;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(value));
}

inline void store_block(const std::int16_t* pcm, std::uint8_t* out) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, pcm, BLOCK_FRAMES * sizeof(std::int16_t));
    } else {
        for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) {
            const auto bits = static_cast<std::uint16_t>(pcm[i]);
            out[2 * i] = static_cast<std::uint8_t>(bits & 0xFFu);
            out[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
        }
    }
}

void stereo_block(const float* in, std::uint8_t* out) noexcept {
    std::int16_t pcm[BLOCK_FRAMES];
    for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) pcm[i] = to_pcm((in[2 * i] + in[2 * i + 1]) / 2.0f);
    store_block(pcm, out);
}

void mono_block(const float* in, std::uint8_t* out) noexcept {
    std::int16_t pcm[BLOCK_FRAMES];
    for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) pcm[i] = to_pcm(in[i]);
    store_block(pcm, out);
}

}  // namespace

bool convert_frames(const float* samples, std::size_t sample_count, std::uint16_t channels,
                    std::uint8_t* out) noexcept {
    if (!whole_frames(sample_count, channels)) return false;
    if (channels > 2) return convert_frames_scalar(samples, sample_count, channels, out);
    const std::size_t frames = sample_count / channels;
    const std::size_t blocked = frames - frames % BLOCK_FRAMES;
    for (std::size_t f = 0; f < blocked; f += BLOCK_FRAMES) {
        if (channels == 2) {
            stereo_block(samples + 2 * f, out + 2 * f);
        } else {
            mono_block(samples + f, out + 2 * f);
        }
    }
    return convert_frames_scalar(samples + blocked * channels, (frames - blocked) * channels, channels,
                                 out + 2 * blocked);
}

Result<std::vector<std::uint8_t>> convert_chunk(const float* samples, std::size_t sample_count,
                                                std::uint16_t channels) {
    if (!whole_frames(sample_count, channels)) return fail("incomplete audio frame");
    std::vector<std::uint8_t> bytes(2 * (sample_count / channels));
    if (sample_count != 0 && !convert_frames(samples, sample_count, channels, bytes.data())) {
        return fail("incomplete audio frame");
    }
    return bytes;
}

}  // namespace tamsel::capture
