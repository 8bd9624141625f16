// Process-loopback activation and stream set-up.
#include "loopback_source_win.hpp"

#include <new>
#include <utility>

#include "system_error_win.hpp"

namespace tamsel::host::win {
namespace {

// IID_IAudioCaptureClient {C8ADBD64-E71E-48A0-A4DE-185C395CD317}
constexpr GUID AUDIO_CAPTURE_CLIENT_IID = {0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
// IID_IActivateAudioInterfaceCompletionHandler {41D949AB-9862-444A-80F6-C261334DA5EB}
constexpr GUID COMPLETION_HANDLER_IID = {0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
// IID_IAgileObject {94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}
constexpr GUID AGILE_OBJECT_IID = {0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
// IID_IMarshal {00000003-0000-0000-C000-000000000046}
constexpr GUID MARSHAL_IID = {0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// IID_IUnknown {00000000-0000-0000-C000-000000000046}
constexpr GUID UNKNOWN_IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

static_assert(PACKET_FLAG_DISCONTINUITY == AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
static_assert(PACKET_FLAG_SILENT == AUDCLNT_BUFFERFLAGS_SILENT);
static_assert(LOOPBACK_STREAM_FLAGS ==
              (AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM));

// Interleaved float32, stereo, 48 kHz.
WAVEFORMATEX capture_format() noexcept {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = CAPTURE_CHANNELS;
    format.nSamplesPerSec = CAPTURE_SAMPLE_RATE;
    format.wBitsPerSample = 32;
    format.nBlockAlign = static_cast<WORD>(format.nChannels * format.wBitsPerSample / 8);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    format.cbSize = 0;
    return format;
}

// Called back exactly once by the activation, on whatever thread the system picks. Agile:
// IAgileObject, and IMarshal through the free-threaded marshaler aggregated with this object as
// its outer unknown (so the marshaler's references count on this object).
// COM interfaces have no virtual destructor by design: the object deletes itself in Release and
// is never destroyed through an interface pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class ActivationCompletionHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
public:
    static Result<ComPtr<IActivateAudioInterfaceCompletionHandler>> create(std::shared_ptr<ActivationChannel> channel) {
        auto* handler = new (std::nothrow) ActivationCompletionHandler(std::move(channel));
        if (!handler) return fail(context_error("activate process loopback", E_OUTOFMEMORY));
        // From here the handler's one reference belongs to `owned`.
        auto owned = ComPtr<IActivateAudioInterfaceCompletionHandler>::adopt(handler);
        const HRESULT hr = CoCreateFreeThreadedMarshaler(handler->outer(), &handler->marshaler_);
        if (FAILED(hr) || !handler->marshaler_) {
            return fail(com_context_error("activate process loopback", FAILED(hr) ? hr : E_POINTER));
        }
        return owned;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(riid, UNKNOWN_IID) || IsEqualGUID(riid, COMPLETION_HANDLER_IID)) {
            *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        } else if (IsEqualGUID(riid, AGILE_OBJECT_IID)) {
            *out = static_cast<IAgileObject*>(this);
        } else if (IsEqualGUID(riid, MARSHAL_IID) && marshaler_) {
            return marshaler_->QueryInterface(riid, out);  // adds its reference on this object
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override {
        // Nothing may escape into the system's thread: a failure to build the result (out of
        // memory) simply sends nothing, and the waiting side reports the missing result.
        try {
            if (!completed_.exchange(true, std::memory_order_acq_rel)) channel_->send(activation_result(operation));
        } catch (...) {
        }
        return S_OK;
    }

private:
    explicit ActivationCompletionHandler(std::shared_ptr<ActivationChannel> channel) noexcept
        : channel_(std::move(channel)) {}
    ~ActivationCompletionHandler() {
        if (marshaler_) marshaler_->Release();
        channel_->sender_gone();
    }
    IUnknown* outer() noexcept { return static_cast<IActivateAudioInterfaceCompletionHandler*>(this); }

    std::atomic<ULONG> refs_{1};
    std::atomic<bool> completed_{false};
    IUnknown* marshaler_ = nullptr;  // the free-threaded marshaler's inner (non-delegating) unknown
    std::shared_ptr<ActivationChannel> channel_;
};
#pragma GCC diagnostic pop

}  // namespace

// ---- ActivationChannel ---------------------------------------------------------------------

Result<std::shared_ptr<ActivationChannel>> ActivationChannel::create() {
    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ready) return fail(context_error_from_last_error("activate process loopback"));
    std::unique_ptr<ActivationChannel> channel(new (std::nothrow) ActivationChannel(std::move(ready)));
    if (!channel) return fail(context_error("activate process loopback", E_OUTOFMEMORY));
    return std::shared_ptr<ActivationChannel>(std::move(channel));
}

void ActivationChannel::send(ActivationResult result) noexcept {
    int expected = Empty;
    if (!state_.compare_exchange_strong(expected, Writing, std::memory_order_acq_rel)) return;  // dropped
    slot_.emplace(std::move(result));
    state_.store(Full, std::memory_order_release);
    SetEvent(ready_.get());
}

void ActivationChannel::sender_gone() noexcept {
    int expected = Empty;
    if (state_.compare_exchange_strong(expected, SenderGone, std::memory_order_acq_rel)) SetEvent(ready_.get());
}

std::optional<ActivationResult> ActivationChannel::receive(DWORD timeout_ms) noexcept {
    (void)WaitForSingleObject(ready_.get(), timeout_ms);
    int seen = Empty;
    if (state_.compare_exchange_strong(seen, ReceiverGone, std::memory_order_acq_rel)) return std::nullopt;
    if (seen == Writing) {
        // The sender is between taking the slot and publishing it; it sets the event next.
        (void)WaitForSingleObject(ready_.get(), INFINITE);
        seen = state_.load(std::memory_order_acquire);
    }
    if (seen != Full) return std::nullopt;
    std::optional<ActivationResult> result = std::move(slot_);
    slot_.reset();
    return result;
}

// ---- Activation ----------------------------------------------------------------------------

Result<ComPtr<IActivateAudioInterfaceCompletionHandler>> make_activation_handler(std::shared_ptr<ActivationChannel> channel) {
    return ActivationCompletionHandler::create(std::move(channel));
}

ActivationResult activation_result(IActivateAudioInterfaceAsyncOperation* operation) {
    if (!operation) return fail("activation operation missing");
    HRESULT activate_hr = E_FAIL;
    ComPtr<IUnknown> activated;
    const HRESULT hr = operation->GetActivateResult(&activate_hr, activated.put());
    if (FAILED(hr)) return fail(com_context_error("activation result", hr));
    if (FAILED(activate_hr)) {
        // What a system without process loopback reports.
        return fail(context_error("process-loopback activation (requires supported Windows build)", activate_hr));
    }
    if (!activated) return fail("activated interface missing");
    ComPtr<IAudioClient> client;
    HRESULT query = activated->QueryInterface(AUDIO_CLIENT_IID, reinterpret_cast<void**>(client.put()));
    if (SUCCEEDED(query) && !client) query = E_POINTER;
    if (FAILED(query)) return fail(com_context_error("audio client", query));
    return client;
}

ActivationResult await_activation(ActivationChannel& channel, DWORD timeout_ms) {
    std::optional<ActivationResult> received = channel.receive(timeout_ms);
    if (!received) return fail("process-loopback activation timed out");
    return std::move(*received);
}

ActivationResult activate_process_loopback(const LoopbackSelection& selection) {
    Result<std::shared_ptr<ActivationChannel>> made = ActivationChannel::create();
    if (!made) return made.error_result();
    std::shared_ptr<ActivationChannel> channel = std::move(*made);

    // The parameters live in the shared channel: the system may read them for as long as the
    // handler exists, even after this wait gave up.
    AUDIOCLIENT_ACTIVATION_PARAMS& params = channel->params;
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = selection.pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode = selection.include_tree
                                                           ? PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE
                                                           : PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    PROPVARIANT& variant = channel->variant;
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof(AUDIOCLIENT_ACTIVATION_PARAMS);
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    Result<ComPtr<IActivateAudioInterfaceCompletionHandler>> handler = make_activation_handler(channel);
    if (!handler) return handler.error_result();

    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    HRESULT hr = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, AUDIO_CLIENT_IID, &variant,
                                             handler->get(), operation.put());
    if (SUCCEEDED(hr) && !operation) hr = E_POINTER;
    if (FAILED(hr)) return fail(com_context_error("activate process loopback", hr));
    // The system holds its own reference to the handler until it has called it.
    handler->reset();

    ActivationResult result = await_activation(*channel, ACTIVATION_TIMEOUT_MS);
    operation.reset();
    return result;
}

// ---- The stream ----------------------------------------------------------------------------

ProcessLoopbackSource::ProcessLoopbackSource(ComPtr<IAudioClient> audio_client, ComPtr<IAudioCaptureClient> capture_client,
                                             UniqueHandle event, std::uint32_t buffer_frames) noexcept
    : audio_client_(std::move(audio_client)),
      capture_client_(std::move(capture_client)),
      event_(std::move(event)),
      buffer_frames_(buffer_frames) {}

ProcessLoopbackSource::~ProcessLoopbackSource() {
    stop();
    event_.reset();
    capture_client_.reset();
}

WaitOutcome ProcessLoopbackSource::wait_for_packet(std::uint32_t timeout_ms) {
    switch (WaitForSingleObject(event_.get(), timeout_ms)) {
        case WAIT_OBJECT_0: return WaitOutcome::Signalled;
        case WAIT_TIMEOUT: return WaitOutcome::Timeout;
        default: return WaitOutcome::Failed;
    }
}

Result<std::uint32_t> ProcessLoopbackSource::next_packet_size() {
    UINT32 frames = 0;
    const HRESULT hr = capture_client_->GetNextPacketSize(&frames);
    if (FAILED(hr)) return fail(com_context_error("next capture packet", hr));
    return std::uint32_t{frames};
}

Result<CapturePacket> ProcessLoopbackSource::get_buffer() {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    const HRESULT hr = capture_client_->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(hr)) return fail(com_context_error("read capture packet", hr));
    return CapturePacket{data, frames, flags};
}

Status ProcessLoopbackSource::release_buffer(std::uint32_t frames) {
    const HRESULT hr = capture_client_->ReleaseBuffer(frames);
    if (FAILED(hr)) return fail(com_context_error("release capture packet", hr));
    return ok();
}

Status ProcessLoopbackSource::start() {
    const HRESULT hr = audio_client_->Start();
    if (FAILED(hr)) return fail(com_context_error("start process capture", hr));
    return ok();
}

void ProcessLoopbackSource::stop() noexcept {
    if (!audio_client_) return;
    (void)audio_client_->Stop();
    audio_client_.reset();
}

Result<std::unique_ptr<CaptureClient>> open_process_loopback_source(const LoopbackSelection& selection) {
    ActivationResult activated = activate_process_loopback(selection);
    if (!activated) return activated.error_result();
    return initialise_loopback_stream(std::move(*activated));
}

Result<std::unique_ptr<CaptureClient>> initialise_loopback_stream(ComPtr<IAudioClient> audio_client) {
    const WAVEFORMATEX format = capture_format();
    HRESULT hr = audio_client->Initialize(AUDCLNT_SHAREMODE_SHARED, LOOPBACK_STREAM_FLAGS, 0, 0, &format, nullptr);
    if (FAILED(hr)) return fail(com_context_error("initialize float32 process capture", hr));

    UINT32 buffer_frames = 0;
    hr = audio_client->GetBufferSize(&buffer_frames);
    if (FAILED(hr)) return fail(com_context_error("capture buffer size", hr));

    ComPtr<IAudioCaptureClient> capture_client;
    hr = audio_client->GetService(AUDIO_CAPTURE_CLIENT_IID, reinterpret_cast<void**>(capture_client.put()));
    if (SUCCEEDED(hr) && !capture_client) hr = E_POINTER;
    if (FAILED(hr)) return fail(com_context_error("capture service", hr));

    // Owned from the moment it exists: whatever fails or throws below closes it.
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) return fail(context_error_from_last_error("capture event"));

    hr = audio_client->SetEventHandle(event.get());
    if (FAILED(hr)) return fail(com_context_error("set capture event", hr));
    return std::unique_ptr<CaptureClient>(std::make_unique<ProcessLoopbackSource>(
        std::move(audio_client), std::move(capture_client), std::move(event), buffer_frames));
}

}  // namespace tamsel::host::win
