#include "chunk_assembler.hpp"

#include <cstring>
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
    assembler.pending_.reset(new (std::nothrow) float[assembler.chunk_samples_ + PIECE_SAMPLES]);
    assembler.bytes_size_ = static_cast<std::size_t>(2 * chunk_frames);
    assembler.bytes_.reset(new (std::nothrow) std::uint8_t[assembler.bytes_size_]);
    if (!assembler.pending_ || !assembler.bytes_) return fail("capture buffers: out of memory");
    return assembler;
}

void ChunkAssembler::append(const SamplePiece& piece) {
    if (expected_next_frame_ && *expected_next_frame_ != piece.start_frame) pending_size_ = 0;
    expected_next_frame_ = piece.start_frame + piece.sample_count / channels_;
    // Always fits: less than one chunk was pending, and a piece holds at most PIECE_SAMPLES.
    std::memcpy(pending_.get() + pending_size_, piece.samples, piece.sample_count * sizeof(float));
    pending_size_ += piece.sample_count;
}

std::optional<TakenPiece> ChunkAssembler::take_from(SampleQueue& queue, const std::atomic<bool>& running,
                                                    std::atomic<bool>& output_failed, const ChunkWriter& write) {
    const SamplePiece* piece = queue.try_peek();
    if (!piece) return std::nullopt;
    const TakenPiece taken{piece->pushed_at, piece->sample_count / channels_};
    append(*piece);
    queue.release();
    emit_chunks(running, output_failed, write);
    return taken;
}

void ChunkAssembler::emit_chunks(const std::atomic<bool>& running, std::atomic<bool>& output_failed,
                                 const ChunkWriter& write) {
    while (pending_size_ >= chunk_samples_) {
        if (!running.load(std::memory_order_acquire)) {
            pending_size_ = 0;
            return;
        }
        if (!output_failed.load(std::memory_order_acquire)) {
            const bool written = convert_frames(pending_.get(), chunk_samples_, channels_, bytes_.get()) &&
                                 write(bytes_.get(), bytes_size_);
            if (!written) output_failed.store(true, std::memory_order_release);
        }
        // The rest moves to the front, in order.
        pending_size_ -= chunk_samples_;
        std::memmove(pending_.get(), pending_.get() + chunk_samples_, pending_size_ * sizeof(float));
    }
}

}  // namespace tamsel::capture
