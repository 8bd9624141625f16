#pragma once
// The packet loop's view of a capture stream (the Windows process-loopback client, or the
// PulseAudio client on Linux). Errors come back as complete texts built by the implementation
// (for example "next capture packet: <system text> (0x...)").
//
// Life of a client, as the capture run drives it (all calls on the run's thread):
//   opened (initialised, not started)  -> start()  -> packets  -> stop()  -> destroyed
// stop() may also come without start() (a run that failed before streaming); it is always
// called once before the client is destroyed. stop() ends the stream and lets go of the stream
// control (Windows: IAudioClient Stop and Release); destroying the client releases the rest
// (the capture event and the capture interface).

#include <cstddef>
#include <cstdint>

#include "tamsel/audio/result.hpp"

namespace tamsel::host {

inline constexpr std::uint32_t PACKET_FLAG_DISCONTINUITY = 0x1;  // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
inline constexpr std::uint32_t PACKET_FLAG_SILENT = 0x2;         // AUDCLNT_BUFFERFLAGS_SILENT

// The capture format every client delivers: interleaved float32, stereo, 48000 Hz.
inline constexpr std::uint16_t CAPTURE_CHANNELS = 2;
inline constexpr std::uint32_t CAPTURE_SAMPLE_RATE = 48000;

// What the stream loops back: the audio of process `pid` and its descendants (include_tree), or
// everything the system plays except that process tree (!include_tree).
struct LoopbackSelection {
    std::uint32_t pid = 0;
    bool include_tree = true;
};

struct CapturePacket {
    // Interleaved float32 stereo, `frames` * 2 samples. Untyped on purpose: the engine's buffer is
    // bytes, and the packet loop checks it is non-null and float-aligned before reading floats.
    // Not read at all for silent packets (it may be null then).
    const void* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;  // PACKET_FLAG_* bits; other bits are ignored
};

enum class WaitOutcome { Signalled, Timeout, Failed };

// How many frames the consumer of the packets (the capture worker's queue) takes now without
// dropping any, in one packet or several. Asked on the capture thread only; it only grows until
// the next packet is pushed.
class PacketRoom {
public:
    virtual std::size_t room_frames() const noexcept = 0;

protected:
    ~PacketRoom() = default;
};

class CaptureClient {
public:
    virtual ~CaptureClient() = default;
    // Waits for the "packet ready" event at most timeout_ms milliseconds.
    virtual WaitOutcome wait_for_packet(std::uint32_t timeout_ms) = 0;
    // Frames in the next packet; 0 when none is pending.
    virtual Result<std::uint32_t> next_packet_size() = 0;
    // The next packet; it stays valid until release_buffer.
    virtual Result<CapturePacket> get_buffer() = 0;
    virtual Status release_buffer(std::uint32_t frames) = 0;
    // Buffer size in frames that the engine negotiated.
    virtual std::uint32_t buffer_frames() const = 0;
    // Starts the stream (the run starts it after the format event). Fails with a complete text
    // ("start process capture: ...").
    virtual Status start() = 0;
    // Stops the stream, ignoring failures, and releases the stream control. Idempotent.
    virtual void stop() noexcept = 0;
    // The room of the packets' consumer (null: none any more), for a source that keeps what it
    // has not handed over (the PulseAudio client) and so hands a backlog over no faster than
    // it is taken. A source whose engine sets the packets' pace ignores it.
    virtual void set_packet_room(const PacketRoom* room) noexcept { (void)room; }
};

}  // namespace tamsel::host
