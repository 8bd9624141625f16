#pragma once
// The worker's side of chunking: contiguous pieces are joined into chunks of 20 ms (at least
// one frame), each converted and written whole. A piece that does not continue the audio held
// so far (a dropped piece, a refused push or a reported discontinuity lies between them)
// discards the partial chunk, so no chunk ever spans a gap.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "sample_queue.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::capture {

// Frames per chunk: sample_rate / 50 (integer division), at least 1.
constexpr std::uint32_t chunk_frames_for_rate(std::uint32_t sample_rate) noexcept {
    return sample_rate / 50 == 0 ? 1 : sample_rate / 50;
}

// What ChunkAssembler::take_from took: when the piece's push began and its frames.
struct TakenPiece {
    MonotonicClock::time_point pushed_at;
    std::size_t frames = 0;
};

// Receives the bytes of one converted chunk; false when they could not be written.
using ChunkWriter = std::function<bool(const std::uint8_t*, std::size_t)>;

class ChunkAssembler {
public:
    // Reserves `pending` (one chunk plus one piece, the most it can hold) and the chunk's output
    // bytes once. Fails with "capture buffers: out of memory".
    static Result<ChunkAssembler> create(std::uint16_t channels, std::uint32_t sample_rate);

    std::size_t chunk_samples() const noexcept { return chunk_samples_; }
    std::size_t pending_samples() const noexcept { return pending_size_; }
    // Frames still missing from the chunk being assembled (at least 1: whole chunks leave at once).
    std::size_t frames_needed() const noexcept { return (chunk_samples_ - pending_size_) / channels_; }
    std::optional<std::uint64_t> expected_next_frame() const noexcept { return expected_next_frame_; }

    // Copies the piece's samples behind the pending ones, after discarding the pending audio
    // when the piece does not continue it.
    void append(const SamplePiece& piece);
    // Cuts every whole chunk from the front of the pending audio. Each chunk is converted and
    // written while `running` is true and `output_failed` false; a failed conversion or write
    // sets `output_failed` (release) and later chunks are discarded unwritten. When `running`
    // is false the pending audio is discarded.
    void emit_chunks(const std::atomic<bool>& running, std::atomic<bool>& output_failed, const ChunkWriter& write);
    // The worker's step: takes the oldest piece from the queue, copies it in (append), hands
    // its slot back before anything is written, so a slow reader does not keep a slot from the
    // producer, then emit_chunks. Empty when the queue was empty.
    std::optional<TakenPiece> take_from(SampleQueue& queue, const std::atomic<bool>& running, std::atomic<bool>& output_failed,
                   const ChunkWriter& write);

private:
    ChunkAssembler(std::uint16_t channels, std::size_t chunk_samples) : channels_(channels), chunk_samples_(chunk_samples) {}

    std::uint16_t channels_;
    std::size_t chunk_samples_;
    // Fixed buffers, allocated once: samples received but not yet emitted (room for one chunk
    // plus one piece, the most they can reach) and the bytes of one converted chunk.
    std::unique_ptr<float[]> pending_;
    std::size_t pending_size_ = 0;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t bytes_size_ = 0;
    std::optional<std::uint64_t> expected_next_frame_;
};

}  // namespace tamsel::capture
