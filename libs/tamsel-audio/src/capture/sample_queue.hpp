#pragma once
// The bounded single-producer/single-consumer ring between the capture thread and the worker.
//
// Invariants
// - The ring is `capacity` fixed-size SamplePiece slots, allocated once in the constructor and
//   never resized; nothing else allocates. Every slot is usable: the ring holds up to
//   `capacity` pieces at once.
// - `head_` (pieces consumed so far) is written only by the consumer, `tail_` (pieces published
//   so far) only by the producer. Both count up from 0 and never wrap in practice (2^64
//   pieces); a piece number n lives in slot n % capacity.
// - Empty: tail_ == head_. Full: tail_ - head_ == capacity. 0 <= tail_ - head_ <= capacity
//   holds at every instant either thread can observe.
// - Slots [head_, tail_) belong to the consumer, the others to the producer. The producer
//   fills slot tail_ % capacity and then publishes it with a release store of tail_ + 1; the
//   consumer's acquire load of tail_ therefore sees the slot's contents complete. The consumer
//   finishes reading slot head_ % capacity before its release store of head_ + 1; the
//   producer's acquire load of head_ therefore never lets it overwrite a slot still being read.
// - Each end keeps its own index in a plain copy as well (it is the only writer), so it needs
//   only the other end's index from shared memory. Neither end ever waits: a claim on a full
//   ring and a peek at an empty ring fail at once.
// - The two indices sit on separate cache lines so the ends do not contend for one line.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "clock.hpp"

namespace tamsel::capture {

inline constexpr std::size_t PIECE_SAMPLES = 1024;

// One element of the queue: always `PIECE_SAMPLES` floats, the first `sample_count` audio (a
// whole number of frames), the rest zero.
struct SamplePiece {
    std::uint64_t start_frame = 0;   // frame position of the first frame
    std::size_t sample_count = 0;    // 1..PIECE_SAMPLES
    MonotonicClock::time_point pushed_at{};  // when its push began (the same for every piece of a push)
    float samples[PIECE_SAMPLES] = {};
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the ring indices must be lock-free atomics");

class SampleQueue {
public:
    // Allocates every slot (zeroed); allocated() is false when memory was short.
    explicit SampleQueue(std::size_t capacity)
        : slots_(new (std::nothrow) SamplePiece[capacity]()), capacity_(capacity) {}

    bool allocated() const noexcept { return slots_ != nullptr; }

    SampleQueue(const SampleQueue&) = delete;
    SampleQueue& operator=(const SampleQueue&) = delete;

    std::size_t capacity() const noexcept { return capacity_; }

    // Producer: the free slot to fill next, or nullptr when the ring is full.
    SamplePiece* try_claim() noexcept {
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        if (producer_tail_ - head == capacity_) return nullptr;
        return &slots_[static_cast<std::size_t>(producer_tail_ % capacity_)];
    }
    // Producer: slots free for claims now. The consumer only frees more meanwhile, so this many
    // claims in a row succeed.
    std::size_t free_slots() const noexcept {
        return capacity_ - static_cast<std::size_t>(producer_tail_ - head_.load(std::memory_order_acquire));
    }
    // Producer: hands the slot returned by the last successful try_claim to the consumer.
    void publish() noexcept {
        ++producer_tail_;
        tail_.store(producer_tail_, std::memory_order_release);
    }

    // Consumer: the oldest published piece, or nullptr when the ring is empty. The piece stays
    // the consumer's until release().
    const SamplePiece* try_peek() noexcept {
        const std::uint64_t tail = tail_.load(std::memory_order_acquire);
        if (tail == consumer_head_) return nullptr;
        return &slots_[static_cast<std::size_t>(consumer_head_ % capacity_)];
    }
    // Consumer: gives the slot returned by the last successful try_peek back to the producer.
    void release() noexcept {
        ++consumer_head_;
        head_.store(consumer_head_, std::memory_order_release);
    }

private:
    std::unique_ptr<SamplePiece[]> slots_;
    const std::size_t capacity_;
    alignas(64) std::atomic<std::uint64_t> head_{0};
    std::uint64_t consumer_head_ = 0;  // consumer's copy of head_
    alignas(64) std::atomic<std::uint64_t> tail_{0};
    std::uint64_t producer_tail_ = 0;  // producer's copy of tail_
};

}  // namespace tamsel::capture
