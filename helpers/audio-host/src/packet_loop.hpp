#pragma once
// The packet loop: moves captured packets from a CaptureClient into the capture worker until a
// stop condition holds. It runs on the capture thread, the only producer of the worker's queue.
//
// Each pass:
//   1. stop_requested or output_failed (acquire loads)          -> success
//   2. the translator no longer runs                             -> success
//   3. the target (Process capture only) no longer runs          -> "selected process exited"
//   4. wait for the packet event at most 250 ms: timeout -> next pass; failure ->
//      "capture event wait failed"
//   5. drain at most 64 packets (a size of 0 ends the drain early), then the next pass, so the
//      flags are looked at again between drains however many packets are pending.
// Per packet: a discontinuity flag is reported before the packet's samples; a silent packet is
// pushed as zeros from the fixed silence buffer in pushes of at most 1024 samples; a 0-frame
// packet pushes nothing; a packet longer than the negotiated buffer, or an audible packet with a
// null or misaligned buffer, is released and ends the loop with an error.
//
// The sink is a template parameter so the real-time calls (push_samples, mark_discontinuity)
// are direct calls to the capture worker: no virtual dispatch, no allocation here.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "capture_source.hpp"
#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host {

inline constexpr std::size_t SILENCE_SAMPLES = 1024;
using SilenceBuffer = std::array<float, SILENCE_SAMPLES>;  // value-initialised: all zeros

inline constexpr std::uint32_t PACKET_WAIT_MS = 250;
inline constexpr int MAX_PACKETS_PER_DRAIN = 64;

// Everything the loop reads besides the sink. The references must outlive the loop.
struct PacketLoopContext {
    CaptureClient& client;
    const ProcessHandle& translator;
    const ProcessHandle* target = nullptr;  // null for a System capture
    const std::atomic<bool>& stop_requested;
    const std::atomic<bool>& output_failed;
    const SilenceBuffer& silence;
};

namespace detail {

inline bool float_aligned(const void* data) noexcept {
    return reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0;
}

// Handles the packet that get_buffer returned, including its release.
template <class Sink>
Status deliver_packet(const PacketLoopContext& context, Sink& sink, const CapturePacket& packet) {
    CaptureClient& client = context.client;
    if (packet.frames > client.buffer_frames()) {
        (void)client.release_buffer(packet.frames);
        return fail("capture packet exceeded negotiated buffer");
    }
    if ((packet.flags & PACKET_FLAG_DISCONTINUITY) != 0) sink.mark_discontinuity();
    const std::size_t samples = std::size_t{packet.frames} * CAPTURE_CHANNELS;
    if ((packet.flags & PACKET_FLAG_SILENT) != 0) {
        for (std::size_t done = 0; done < samples;) {
            const std::size_t n = std::min(SILENCE_SAMPLES, samples - done);
            (void)sink.push_samples(context.silence.data(), n);
            done += n;
        }
    } else if (packet.frames != 0) {
        if (packet.data == nullptr || !float_aligned(packet.data)) {
            (void)client.release_buffer(packet.frames);
            return fail("invalid float capture buffer");
        }
        (void)sink.push_samples(static_cast<const float*>(packet.data), samples);
    }
    return client.release_buffer(packet.frames);
}

}  // namespace detail

template <class Sink>
Status capture_packets(const PacketLoopContext& context, Sink& sink) {
    CaptureClient& client = context.client;
    for (;;) {
        if (context.stop_requested.load(std::memory_order_acquire) ||
            context.output_failed.load(std::memory_order_acquire)) {
            return ok();
        }
        if (!context.translator.is_running()) return ok();
        if (context.target != nullptr && !context.target->is_running()) return fail("selected process exited");

        switch (client.wait_for_packet(PACKET_WAIT_MS)) {
            case WaitOutcome::Timeout: continue;
            case WaitOutcome::Failed: return fail("capture event wait failed");
            case WaitOutcome::Signalled: break;
        }

        for (int drained = 0; drained < MAX_PACKETS_PER_DRAIN; ++drained) {
            Result<std::uint32_t> size = client.next_packet_size();
            if (!size) return size.error_result();
            if (*size == 0) break;
            Result<CapturePacket> packet = client.get_buffer();
            if (!packet) return packet.error_result();
            if (Status delivered = detail::deliver_packet(context, sink, *packet); !delivered) return delivered;
        }
    }
}

}  // namespace tamsel::host
