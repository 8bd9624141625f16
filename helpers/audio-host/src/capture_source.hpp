#pragma once
// The packet loop's view of a capture stream (the Windows process-loopback client, or the
// PulseAudio client on Linux). Errors come back as complete texts built by the implementation
// (for example "next capture packet: <system text> (0x...)").

#include <cstdint>

#include "tamsel/audio/result.hpp"

namespace tamsel::host {

inline constexpr std::uint32_t PACKET_FLAG_DISCONTINUITY = 0x1;  // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
inline constexpr std::uint32_t PACKET_FLAG_SILENT = 0x2;         // AUDCLNT_BUFFERFLAGS_SILENT

struct CapturePacket {
    const float* data = nullptr;  // interleaved float32 stereo; may be null for silent packets
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
};

enum class WaitOutcome { Signalled, Timeout, Failed };

class CaptureClient {
public:
    virtual ~CaptureClient() = default;
    // Waits for the "packet ready" event at most timeout_ms milliseconds.
    virtual WaitOutcome wait_for_packet(std::uint32_t timeout_ms) = 0;
    virtual Result<std::uint32_t> next_packet_size() = 0;
    virtual Result<CapturePacket> get_buffer() = 0;
    virtual Status release_buffer(std::uint32_t frames) = 0;
    // Buffer size in frames that the engine negotiated.
    virtual std::uint32_t buffer_frames() const = 0;
    // Starts and stops the stream (the run starts it after the format event).
    virtual Status start() = 0;
    virtual void stop() noexcept = 0;
};

}  // namespace tamsel::host
