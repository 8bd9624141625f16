#include "chunk_assembler.hpp"

#include <limits>
#include <new>

#include "convert.hpp"

namespace tamsel::capture {

Result<ChunkAssembler> ChunkAssembler::create(std::uint16_t channels, std::uint32_t sample_rate) {
    const std::uint64_t chunk_frames = chunk_frames_for_rate(sample_rate);
    const std::uint64_t chunk_samples = chunk_frames * channels;  // at most 2^32 * 1024: no overflow in 64 bits
    constexpr std::uint64_t limit = std::numeric_limits<std::size_t>::max() / sizeof(float) - PIECE_SAMPLES;
    if (chunk_samples > limit) return fail("capture buffers: out of memory");
    ChunkAssembler assembler(channels, static_cast<std::size_t>(chunk_samples));
    try {
        assembler.pending_.reserve(assembler.chunk_samples_ + PIECE_SAMPLES);
        assembler.bytes_.resize(static_cast<std::size_t>(2 * chunk_frames));
    } catch (const std::bad_alloc&) {
        return fail("capture buffers: out of memory");
    } catch (const std::length_error&) {
        return fail("capture buffers: out of memory");
    }
    return assembler;
}

void ChunkAssembler::append(const SamplePiece& piece) {
    if (expected_next_frame_ && *expected_next_frame_ != piece.start_frame) pending_.clear();
    expected_next_frame_ = piece.start_frame + piece.sample_count / channels_;
    // Never grows: less than one chunk was pending, and a piece holds at most PIECE_SAMPLES.
    pending_.insert(pending_.end(), piece.samples, piece.samples + piece.sample_count);
}

void ChunkAssembler::emit_chunks(const std::atomic<bool>& running, std::atomic<bool>& output_failed,
                                 const ChunkWriter& write) {
    while (pending_.size() >= chunk_samples_) {
        if (!running.load(std::memory_order_acquire)) {
            pending_.clear();
            return;
        }
        if (!output_failed.load(std::memory_order_acquire)) {
            const bool written = convert_frames(pending_.data(), chunk_samples_, channels_, bytes_.data()) &&
                                 write(bytes_.data(), bytes_.size());
            if (!written) output_failed.store(true, std::memory_order_release);
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(chunk_samples_));
    }
}

}  // namespace tamsel::capture
