// Conversion of float frames to mono s16le: the rule table, the byte layout, and the fast path
// against the scalar reference on random and special values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "convert.hpp"
#include "tamsel/audio/capture.hpp"

namespace tamsel::capture {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

std::int16_t sample_at(const std::vector<std::uint8_t>& bytes, std::size_t frame) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * frame] | (bytes[2 * frame + 1] << 8)));
}

struct RuleCase {
    std::vector<float> frame;
    std::int16_t expected;
};

class ConversionRule : public ::testing::TestWithParam<RuleCase> {};

// Every frame is converted alone, and also as frame 100 of a chunk of 960 frames (the fast
// path's blocks) and as the last frame of 70 (its scalar tail).
TEST_P(ConversionRule, GivesTheExpectedSample) {
    const RuleCase& c = GetParam();
    const auto channels = static_cast<std::uint16_t>(c.frame.size());
    auto alone = convert_chunk(c.frame.data(), c.frame.size(), channels);
    ASSERT_TRUE(alone) << alone.error();
    ASSERT_EQ(alone->size(), 2u);
    EXPECT_EQ(sample_at(*alone, 0), c.expected);

    for (std::size_t frames : {std::size_t{960}, std::size_t{70}}) {
        const std::size_t at = frames == 960 ? 100 : frames - 1;
        std::vector<float> chunk(frames * channels, 0.1f);
        std::copy(c.frame.begin(), c.frame.end(), chunk.begin() + static_cast<std::ptrdiff_t>(at * channels));
        auto bytes = convert_chunk(chunk.data(), chunk.size(), channels);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(sample_at(*bytes, at), c.expected) << "frame " << at << " of " << frames;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConversionRule,
    ::testing::Values(
        RuleCase{{0.25f, 0.75f}, 16383},          // 0.5 * 32767 = 16383.5, truncated
        RuleCase{{1.0f, 1.0f}, 32767},
        RuleCase{{-1.0f, -1.0f}, -32767},
        RuleCase{{2.0f, 2.0f}, 32767},            // clamped to 1.0
        RuleCase{{-2.0f, -5.0f}, -32767},         // clamped to -1.0
        RuleCase{{NaN, 0.0f}, 0},                 // NaN passes the clamp and truncates to 0
        RuleCase{{0.0f, -NaN}, 0},
        RuleCase{{INF, -INF}, 0},                 // the sum is NaN
        RuleCase{{INF, 0.0f}, 32767},
        RuleCase{{-INF, -INF}, -32767},
        RuleCase{{3.0e38f, 3.0e38f}, 32767},      // the sum overflows to +infinity
        RuleCase{{-3.0e38f, -3.0e38f}, -32767},
        RuleCase{{-0.0f, -0.0f}, 0},              // negative zero
        RuleCase{{-0.0f}, 0},
        RuleCase{{0.0f, -0.0f}, 0},
        RuleCase{{-0.00002f, -0.00002f}, 0},      // -0.655 truncates toward zero, not to -1
        RuleCase{{1.0e-45f, -1.0e-45f}, 0},       // subnormals
        RuleCase{{1.5f, -1.0f}, 8191},            // 0.25 * 32767 = 8191.75
        RuleCase{{0.5f, -0.5f}, 0},
        RuleCase{{-0.5f}, -16383},                // mono
        RuleCase{{1.0f}, 32767},
        RuleCase{{NaN}, 0},
        RuleCase{{-INF}, -32767},
        RuleCase{{1.0f, 1.0f, 1.0f}, 32767},      // three channels: divided by 3
        RuleCase{{0.3f, 0.3f, 0.3f}, 9830},       // 0.3f * 32767 = 9830.1
        RuleCase{{INF, 1.0f, -INF}, 0}));

TEST(ConvertChunk, WritesLittleEndianBytes) {
    const float frames[] = {0.25f, 0.75f, -1.0f, -1.0f};
    auto bytes = convert_chunk(frames, 4, 2);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (std::vector<std::uint8_t>{0xFF, 0x3F, 0x01, 0x80}));
}

TEST(ConvertChunk, RefusesIncompleteFrames) {
    const float frames[4] = {};
    struct Case {
        std::size_t samples;
        std::uint16_t channels;
    };
    for (const Case c : {Case{3, 2}, Case{4, 0}, Case{0, 0}, Case{2, 3}}) {
        auto bytes = convert_chunk(frames, c.samples, c.channels);
        ASSERT_FALSE(bytes) << c.samples << " samples, " << c.channels << " channels";
        EXPECT_EQ(bytes.error(), "incomplete audio frame");
    }
    auto empty = convert_chunk(frames, 0, 2);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

// Values that stress every branch of the rule: bit patterns drawn at random (NaNs with any
// payload, infinities, subnormals, huge values), values around the clamp edges and ordinary
// audio.
std::vector<float> awkward_samples(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::uint32_t> bits;
    std::uniform_real_distribution<float> audio(-1.2f, 1.2f);
    const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, INF, -INF, NaN, -NaN,
                              std::nextafter(1.0f, 2.0f), std::nextafter(-1.0f, -2.0f), std::nextafter(1.0f, 0.0f),
                              1.0e-45f, -1.0e-45f, 3.4e38f, -3.4e38f, 0.5f / 32767.0f, -0.5f / 32767.0f};
    std::vector<float> out(count);
    for (float& v : out) {
        switch (bits(random) % 4) {
            case 0: v = std::bit_cast<float>(bits(random)); break;
            case 1: v = specials[bits(random) % std::size(specials)]; break;
            default: v = audio(random); break;
        }
    }
    return out;
}

// Both vector paths (SSE2 here, the portable loops that ARM64 uses) against the scalar rule.
TEST(ConvertFrames, FastPathMatchesTheScalarReference) {
    for (std::uint16_t channels : std::initializer_list<std::uint16_t>{1, 2, 3, 8}) {
        for (std::size_t frames : std::initializer_list<std::size_t>{0, 1, 63, 64, 65, 127, 960, 1000, 4096}) {
            const auto samples = awkward_samples(frames * channels, 1000u * channels + static_cast<std::uint32_t>(frames));
            std::vector<std::uint8_t> fast(2 * frames + 1, 0xAA), portable(2 * frames + 1, 0xAA),
                reference(2 * frames + 1, 0xAA);
            ASSERT_TRUE(convert_frames(samples.data(), samples.size(), channels, fast.data()));
            ASSERT_TRUE(convert_frames_portable(samples.data(), samples.size(), channels, portable.data()));
            ASSERT_TRUE(convert_frames_scalar(samples.data(), samples.size(), channels, reference.data()));
            ASSERT_EQ(fast, reference) << channels << " channels, " << frames << " frames";
            ASSERT_EQ(portable, reference) << channels << " channels, " << frames << " frames";
            EXPECT_EQ(fast.back(), 0xAA) << "wrote past the end";
        }
    }
}

TEST(ConvertFrames, FastPathMatchesOnEveryFloatAroundTheEdges) {
    // Every float in small windows around the points where the result changes.
    std::vector<float> samples;
    for (float centre : {1.0f, -1.0f, 0.0f, 0.5f, 1.0f / 32767.0f, -1.0f / 32767.0f}) {
        float v = centre;
        for (int i = 0; i < 2000; ++i) v = std::nextafter(v, -INF);
        for (int i = 0; i < 4000; ++i, v = std::nextafter(v, INF)) samples.push_back(v);
    }
    for (std::uint16_t channels : std::initializer_list<std::uint16_t>{1, 2}) {
        const std::size_t count = samples.size() - samples.size() % channels;
        std::vector<std::uint8_t> fast(count / channels * 2), portable(count / channels * 2),
            reference(count / channels * 2);
        ASSERT_TRUE(convert_frames(samples.data(), count, channels, fast.data()));
        ASSERT_TRUE(convert_frames_portable(samples.data(), count, channels, portable.data()));
        ASSERT_TRUE(convert_frames_scalar(samples.data(), count, channels, reference.data()));
        EXPECT_EQ(fast, reference) << channels << " channels";
        EXPECT_EQ(portable, reference) << channels << " channels";
    }
}

}  // namespace
}  // namespace tamsel::capture
