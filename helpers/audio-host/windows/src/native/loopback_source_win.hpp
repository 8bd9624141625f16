#pragma once
// The process-loopback capture source: asynchronous activation of the loopback audio client on
// "VAD\Process_Loopback" with a bounded wait, and the initialised event-driven float32 stereo
// 48 kHz stream, offered to the packet loop as a CaptureClient.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "activation_params.hpp"
#include "capture_source.hpp"
#include "com_ptr_win.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host::win {

using tamsel::win::UniqueHandle;

inline constexpr DWORD ACTIVATION_TIMEOUT_MS = 10000;
// AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM
inline constexpr DWORD LOOPBACK_STREAM_FLAGS = 0x80060000;

// IID_IAudioClient {1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}
inline constexpr GUID AUDIO_CLIENT_IID = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};

using ActivationResult = Result<ComPtr<IAudioClient>>;

// The one-slot channel between the activation completion (any system thread) and the
// activating thread. Shared by both sides, so whichever lets go last frees it: a completion that
// arrives after the wait gave up finds the receiver gone and drops its result. It also keeps the
// activation parameters alive for as long as the system may still read them.
//
// State machine on one atomic (no lock):
//   Empty --send--> Writing --> Full --receive--> (taken)
//   Empty --handler destroyed without sending--> SenderGone
//   Empty --receiver gave up--> ReceiverGone            (later sends are dropped)
// The slot is written only by a sender that moved the state from Empty to Writing, and only
// before its release store of Full; the receiver reads it only after its acquire load has seen
// Full (waiting out Writing on the event). So the two sides touch the slot one after the other,
// never at once, and when the receiver gave up first (ReceiverGone) nobody writes it at all.
class ActivationChannel {
public:
    static Result<std::shared_ptr<ActivationChannel>> create();
    ActivationChannel(const ActivationChannel&) = delete;
    ActivationChannel& operator=(const ActivationChannel&) = delete;

    // Sender side. Never blocks; drops the result when the slot is taken or the receiver is gone.
    void send(ActivationResult result) noexcept;
    void sender_gone() noexcept;

    // Receiver side: the result, or nothing when none arrived within the time or the sender went
    // away without one. Afterwards the channel accepts nothing more.
    std::optional<ActivationResult> receive(DWORD timeout_ms) noexcept;

    // Storage for the parameters handed to ActivateAudioInterfaceAsync.
    AUDIOCLIENT_ACTIVATION_PARAMS params{};
    PROPVARIANT variant{};

private:
    enum State : int { Empty, Writing, Full, SenderGone, ReceiverGone };
    explicit ActivationChannel(UniqueHandle ready) noexcept : ready_(std::move(ready)) {}

    std::atomic<int> state_{Empty};
    std::optional<ActivationResult> slot_;
    UniqueHandle ready_;  // manual-reset; set once the state has left Empty on the sender's side
};

// The agile completion handler that owns the sending end of `channel`. Returned with one
// reference held by the caller.
Result<ComPtr<IActivateAudioInterfaceCompletionHandler>> make_activation_handler(std::shared_ptr<ActivationChannel> channel);

// The completion's result for an operation (what the handler sends).
ActivationResult activation_result(IActivateAudioInterfaceAsyncOperation* operation);

// Waits on the channel; nothing received gives "process-loopback activation timed out".
ActivationResult await_activation(ActivationChannel& channel, DWORD timeout_ms);

// ActivateAudioInterfaceAsync on the loopback device and the wait (at most 10 s) for its result.
ActivationResult activate_process_loopback(const LoopbackSelection& selection);

// The initialised loopback stream (not started). Releasing it releases the interfaces and
// closes the capture event.
class ProcessLoopbackSource final : public CaptureClient {
public:
    ProcessLoopbackSource(ComPtr<IAudioClient> audio_client, ComPtr<IAudioCaptureClient> capture_client,
                          UniqueHandle event, std::uint32_t buffer_frames) noexcept;
    ~ProcessLoopbackSource() override;
    ProcessLoopbackSource(const ProcessLoopbackSource&) = delete;
    ProcessLoopbackSource& operator=(const ProcessLoopbackSource&) = delete;

    WaitOutcome wait_for_packet(std::uint32_t timeout_ms) override;
    Result<std::uint32_t> next_packet_size() override;
    Result<CapturePacket> get_buffer() override;
    Status release_buffer(std::uint32_t frames) override;
    std::uint32_t buffer_frames() const override { return buffer_frames_; }
    Status start() override;
    void stop() noexcept override;

private:
    ComPtr<IAudioClient> audio_client_;
    ComPtr<IAudioCaptureClient> capture_client_;
    UniqueHandle event_;
    std::uint32_t buffer_frames_;
};

// Initialize (shared, 0x80060000, no buffer duration or period, float32 stereo 48 kHz, no
// session GUID), GetBufferSize, GetService(IAudioCaptureClient), the capture event (auto-reset,
// not signalled) and SetEventHandle, in that order; a failure releases what came before.
Result<std::unique_ptr<CaptureClient>> initialise_loopback_stream(ComPtr<IAudioClient> audio_client);

// activate_process_loopback, then initialise_loopback_stream.
Result<std::unique_ptr<CaptureClient>> open_process_loopback_source(const LoopbackSelection& selection);

}  // namespace tamsel::host::win
