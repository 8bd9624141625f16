// The fast conversion. Frames are converted in fixed blocks of 64. On x86-64 the blocks use
// SSE2 (part of every x86-64 CPU); everywhere else, ARM64 included, they are plain loops that
// the compiler vectorises (clang turns them into NEON: de-interleaving loads, compares and
// selects, fcvtzs and narrowing). The remainder of a chunk goes through the scalar rule.
//
// Why the blocks match the scalar rule bit for bit:
// - the scalar sum starts from -0.0f, and -0.0f + x == x for every x that is not a NaN (a NaN
//   stays a NaN, and every NaN ends as 0), so the first add can be left out;
// - dividing by 2.0f is exact scaling, the same value as multiplying by 0.5f, and by 1.0f
//   changes nothing;
// - the clamp keeps NaN: the scalar `v < -1 ? -1 : v` is MAXPS(-1, v) and `v > 1 ? 1 : v` is
//   MINPS(1, v), both of which return their second operand when one of them is a NaN;
// - the NaN becomes +0 before the conversion; after the clamp the value lies in
//   -32767..32767, so truncation is exact and the saturating pack never saturates.
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TAMSEL_CAPTURE_SSE2 1
#endif

#include "convert.hpp"
#include "tamsel/audio/capture.hpp"

namespace tamsel::capture {
namespace {

constexpr std::size_t BLOCK_FRAMES = 64;
using BlockFn = void (*)(const float*, std::uint8_t*) noexcept;

// ---- portable blocks (vectorised by the compiler) ----

inline float clamp_and_scale(float value) noexcept {
    value = value < -1.0f ? -1.0f : value;
    value = value > 1.0f ? 1.0f : value;
    value *= 32767.0f;
    return std::isnan(value) ? 0.0f : value;
}

// Separate simple loops: each one vectorises on its own on GCC and clang.
inline void finish_block(float* mixed, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) mixed[i] = clamp_and_scale(mixed[i]);
    std::int16_t pcm[BLOCK_FRAMES];
    for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) pcm[i] = static_cast<std::int16_t>(static_cast<std::int32_t>(mixed[i]));
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, pcm, sizeof pcm);
    } else {
        for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) {
            const auto bits = static_cast<std::uint16_t>(pcm[i]);
            out[2 * i] = static_cast<std::uint8_t>(bits & 0xFFu);
            out[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
        }
    }
}

void stereo_block_portable(const float* in, std::uint8_t* out) noexcept {
    float mixed[BLOCK_FRAMES];
    for (std::size_t i = 0; i < BLOCK_FRAMES; ++i) mixed[i] = (in[2 * i] + in[2 * i + 1]) / 2.0f;
    finish_block(mixed, out);
}

void mono_block_portable(const float* in, std::uint8_t* out) noexcept {
    float mixed[BLOCK_FRAMES];
    std::memcpy(mixed, in, sizeof mixed);
    finish_block(mixed, out);
}

// ---- SSE2 blocks ----

#if TAMSEL_CAPTURE_SSE2
inline __m128i pcm_of(__m128 mixed) noexcept {
    const __m128 scaled =
        _mm_mul_ps(_mm_min_ps(_mm_set1_ps(1.0f), _mm_max_ps(_mm_set1_ps(-1.0f), mixed)), _mm_set1_ps(32767.0f));
    return _mm_cvttps_epi32(_mm_and_ps(scaled, _mm_cmpord_ps(scaled, scaled)));
}

void stereo_block_sse2(const float* in, std::uint8_t* out) noexcept {
    const __m128 half = _mm_set1_ps(0.5f);
    for (std::size_t i = 0; i < BLOCK_FRAMES; i += 8) {
        const float* p = in + 2 * i;
        const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4), c = _mm_loadu_ps(p + 8), d = _mm_loadu_ps(p + 12);
        // Left samples are the even lanes, right samples the odd ones.
        const __m128 first = _mm_mul_ps(_mm_add_ps(_mm_shuffle_ps(a, b, 0x88), _mm_shuffle_ps(a, b, 0xDD)), half);
        const __m128 second = _mm_mul_ps(_mm_add_ps(_mm_shuffle_ps(c, d, 0x88), _mm_shuffle_ps(c, d, 0xDD)), half);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(pcm_of(first), pcm_of(second)));
    }
}

void mono_block_sse2(const float* in, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < BLOCK_FRAMES; i += 8) {
        const __m128i low = pcm_of(_mm_loadu_ps(in + i));
        const __m128i high = pcm_of(_mm_loadu_ps(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(low, high));
    }
}
#endif

bool convert_in_blocks(const float* samples, std::size_t sample_count, std::uint16_t channels, std::uint8_t* out,
                       BlockFn mono, BlockFn stereo) noexcept {
    if (!whole_frames(sample_count, channels)) return false;
    if (channels > 2) return convert_frames_scalar(samples, sample_count, channels, out);
    const BlockFn block = channels == 2 ? stereo : mono;
    const std::size_t frames = sample_count / channels;
    const std::size_t blocked = frames - frames % BLOCK_FRAMES;
    for (std::size_t f = 0; f < blocked; f += BLOCK_FRAMES) block(samples + f * channels, out + 2 * f);
    return convert_frames_scalar(samples + blocked * channels, (frames - blocked) * channels, channels,
                                 out + 2 * blocked);
}

}  // namespace

bool convert_frames(const float* samples, std::size_t sample_count, std::uint16_t channels,
                    std::uint8_t* out) noexcept {
#if TAMSEL_CAPTURE_SSE2
    return convert_in_blocks(samples, sample_count, channels, out, &mono_block_sse2, &stereo_block_sse2);
#else
    return convert_in_blocks(samples, sample_count, channels, out, &mono_block_portable, &stereo_block_portable);
#endif
}

bool convert_frames_portable(const float* samples, std::size_t sample_count, std::uint16_t channels,
                             std::uint8_t* out) noexcept {
    return convert_in_blocks(samples, sample_count, channels, out, &mono_block_portable, &stereo_block_portable);
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
