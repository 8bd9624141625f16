// A scripted process-loopback audio engine for tests: built as mmdevapi.dll, placed beside a
// copy of the capture host and loaded in place of Wine's (WINEDLLOVERRIDES=mmdevapi=n), which
// has no process loopback. Never installed, never shipped.
//
// It exports ActivateAudioInterfaceAsync, checks every argument the way Windows documents it,
// writes what it received to the record file, completes the activation on a thread of its own
// (or never, late, or with a chosen result) and serves an IAudioClient / IAudioCaptureClient
// pair that plays the script (scenario.hpp). Environment: engine_shared.hpp.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <oleauto.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine_shared.hpp"
#include "scenario.hpp"

namespace {

using namespace tamsel::test_engine;

constexpr HRESULT NOT_INITIALIZED = static_cast<HRESULT>(0x88890001);
constexpr HRESULT ALREADY_INITIALIZED = static_cast<HRESULT>(0x88890002);
constexpr HRESULT NOT_STOPPED = static_cast<HRESULT>(0x88890005);
constexpr HRESULT OUT_OF_ORDER = static_cast<HRESULT>(0x88890007);
constexpr HRESULT INVALID_SIZE = static_cast<HRESULT>(0x88890009);
constexpr HRESULT EVENTHANDLE_NOT_EXPECTED = static_cast<HRESULT>(0x88890013);
constexpr HRESULT EVENTHANDLE_NOT_SET = static_cast<HRESULT>(0x88890014);
constexpr HRESULT BUFFER_EMPTY = static_cast<HRESULT>(0x08890001);

const GUID AUDIO_CLIENT_IID = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const GUID CAPTURE_CLIENT_IID = {0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
const GUID OPERATION_IID = {0x72A22D78, 0xCDE4, 0x431D, {0xB8, 0xCC, 0x84, 0x3A, 0x71, 0x19, 0x9B, 0x6D}};
const GUID AGILE_IID = {0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
const GUID UNKNOWN_IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID ERROR_INFO_IID = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}
std::uint32_t code(HRESULT hr) { return static_cast<std::uint32_t>(hr); }

std::wstring environment(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD n = GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    return out;
}

// One packet of the script, flattened.
struct Packet {
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint32_t pause_before_ms = 0;
    std::uint64_t start = 0;  // position of its first frame
};

// Everything the engine knows; one per process.
struct Engine {
    bool loaded = false;
    Scenario scenario;
    std::vector<Packet> packets;
    std::wstring record_path;
    SharedBlock* shared = nullptr;
    std::atomic<int> live_operations{0}, live_audio_clients{0}, live_capture_clients{0};

    // The activation: the handler the engine holds until it has called it.
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    std::atomic<bool> completed{false};

    void load() {
        if (loaded) return;
        loaded = true;
        record_path = environment(RECORD_VARIABLE);
        const std::wstring scenario_path = environment(SCENARIO_VARIABLE);
        std::string text;
        HANDLE file = CreateFileW(scenario_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
            CloseHandle(file);
        } else {
            write("misuse: no scenario file");
        }
        std::string error;
        if (auto parsed = parse_scenario(text, error)) {
            scenario = *parsed;
        } else {
            write("misuse: " + error);
        }
        std::uint64_t position = 0;
        std::uint32_t pause = 0;
        for (const PacketRun& run : scenario.runs) {
            if (run.count == 0) {
                pause += run.pause_ms;
                continue;
            }
            for (std::uint64_t i = 0; i < run.count; ++i) {
                packets.push_back(Packet{run.frames, run.flags, i == 0 ? pause : 0, position});
                position += run.frames;
            }
            pause = 0;
        }
        const std::wstring shared_name = environment(SHARED_VARIABLE);
        if (!shared_name.empty()) {
            HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, shared_name.c_str());
            if (mapping) {
                shared = static_cast<SharedBlock*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedBlock)));
                CloseHandle(mapping);  // the view keeps the block
            }
        }
    }

    // Appends one line to the record file (opened per line, so nothing is lost at a crash).
    void write(const std::string& line) const {
        if (record_path.empty()) return;
        HANDLE file = CreateFileW(record_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        const std::string text = line + "\n";
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }

    // The scripted result of a call: the failure's HRESULT (with a COM error description unless
    // the script says noinfo) or S_OK. Packet calls fail only while packet `at` is next.
    HRESULT scripted(const char* call, std::uint64_t next_packet, bool packet_call, bool packet_ready = true) const {
        const Failure* failure = scenario.failure(call);
        if (!failure || (packet_call && (failure->at != next_packet || !packet_ready))) return S_OK;
        write(std::string("failed ") + call + (packet_call ? " at=" + std::to_string(next_packet) : std::string()));
        if (failure->error_info) set_error_description(std::string("test engine: ") + call + " failed");
        return static_cast<HRESULT>(failure->hr);
    }

    static void set_error_description(const std::string& text) {
        ICreateErrorInfo* create = nullptr;
        if (FAILED(CreateErrorInfo(&create)) || !create) return;
        std::wstring wide(text.begin(), text.end());
        create->SetDescription(wide.data());
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(ERROR_INFO_IID, reinterpret_cast<void**>(&info))) && info) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
};

Engine g_engine;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Reference counting shared by the engine's objects; `live` counts the objects still alive.
template <class Interface>
class Counted : public Interface {
public:
    explicit Counted(std::atomic<int>* live) : live_(live) {
        if (live_) live_->fetch_add(1);
    }
    virtual ~Counted() {
        if (live_) live_->fetch_sub(1);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

protected:
    HRESULT answer(REFIID riid, const GUID& own, void** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(riid, UNKNOWN_IID) && !IsEqualGUID(riid, own)) return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
    std::atomic<int>* live_;
};

// An interface that is not an audio client (for "interface=other").
class Other final : public Counted<IUnknown> {
public:
    Other() : Counted(nullptr) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override { return answer(riid, UNKNOWN_IID, out); }
};

// The stream: its set-up state, and the pacing thread that makes packets ready.
struct Stream {
    bool initialized = false;
    bool event_callback = false;
    HANDLE event = nullptr;
    bool running = false;
    HANDLE pacer = nullptr;
    HANDLE stop_pacer = nullptr;
    std::atomic<std::uint64_t> ready{0};  // packets made ready
    // Packet access (host thread only).
    std::uint64_t next = 0;
    bool held = false;
    std::uint32_t held_frames = 0;
    std::vector<float> buffer;

    static DWORD WINAPI pace(void* raw) {
        auto* stream = static_cast<Stream*>(raw);
        stream->run_pacer();
        return 0;
    }

    void run_pacer() {
        LARGE_INTEGER frequency, start;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        const std::vector<Packet>& packets = g_engine.packets;
        SharedBlock* shared = g_engine.shared;
        double pause_seconds = 0;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const Packet& packet = packets[i];
            const std::uint64_t end = packet.start + packet.frames;
            if (g_engine.scenario.realtime) {
                pause_seconds += packet.pause_before_ms / 1000.0;
                const double due = static_cast<double>(end) / RATE + pause_seconds;
                for (;;) {
                    LARGE_INTEGER now;
                    QueryPerformanceCounter(&now);
                    const double elapsed =
                        static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
                    if (elapsed >= due) break;
                    const auto wait_ms = static_cast<DWORD>((due - elapsed) * 1000.0);
                    if (WaitForSingleObject(stop_pacer, wait_ms) == WAIT_OBJECT_0) return;
                }
            } else if (shared) {
                while (end > shared->translator_position.load(std::memory_order_acquire) + g_engine.scenario.window) {
                    if (WaitForSingleObject(stop_pacer, 1) == WAIT_OBJECT_0) return;
                }
            } else if (WaitForSingleObject(stop_pacer, 0) == WAIT_OBJECT_0) {
                return;
            }
            if (shared && i < MAX_TIMED_PACKETS) {
                LARGE_INTEGER now;
                QueryPerformanceCounter(&now);
                shared->ready_time[i] = now.QuadPart;
            }
            ready.store(i + 1, std::memory_order_release);
            if (shared) shared->packets_ready.store(i + 1, std::memory_order_release);
            SetEvent(event);
        }
    }

    void stop() {
        if (!pacer) return;
        SetEvent(stop_pacer);
        WaitForSingleObject(pacer, INFINITE);
        CloseHandle(pacer);
        CloseHandle(stop_pacer);
        pacer = nullptr;
        stop_pacer = nullptr;
    }
};

class CaptureClient final : public Counted<IAudioCaptureClient> {
public:
    // Holds a reference on its audio client, whose stream it reads.
    CaptureClient(IUnknown* owner, Stream* stream) : Counted(&g_engine.live_capture_clients), owner_(owner), stream_(stream) {
        owner_->AddRef();
    }
    ~CaptureClient() override { owner_->Release(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return answer(riid, CAPTURE_CLIENT_IID, out);
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        if (!frames) return E_POINTER;
        *frames = 0;
        // A packet of 0 frames is reported through the size of the first later one.
        const std::uint64_t ready = stream_->ready.load(std::memory_order_acquire);
        if (HRESULT hr = g_engine.scripted("GetNextPacketSize", stream_->next, true, stream_->next < ready); FAILED(hr)) {
            return hr;
        }
        for (std::uint64_t i = stream_->next; i < ready; ++i) {
            if (g_engine.packets[i].frames != 0) {
                *frames = g_engine.packets[i].frames;
                break;
            }
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                                        UINT64* counter_position) override {
        if (!data || !frames || !flags) return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        if (device_position || counter_position) {
            if (!positions_noted_) g_engine.write("GetBuffer asked for positions");
            positions_noted_ = true;
            if (device_position) *device_position = 0;
            if (counter_position) *counter_position = 0;
        }
        if (stream_->held) {
            g_engine.write("misuse: GetBuffer while a packet is held");
            return OUT_OF_ORDER;
        }
        if (HRESULT hr = g_engine.scripted("GetBuffer", stream_->next, true); FAILED(hr)) return hr;
        if (stream_->next >= stream_->ready.load(std::memory_order_acquire)) return BUFFER_EMPTY;
        const Packet& packet = g_engine.packets[stream_->next];
        std::vector<float>& buffer = stream_->buffer;
        const std::size_t samples = std::size_t{packet.frames} * 2;
        if (buffer.size() < samples + 4) buffer.resize(samples + 4);
        if ((packet.flags & FLAG_SILENT) != 0) {
            // Whatever the buffer holds must not be heard: fill it with noise-like NaNs.
            for (std::size_t i = 0; i < samples; ++i) buffer[i] = std::numeric_limits<float>::quiet_NaN();
        } else {
            for (std::uint32_t f = 0; f < packet.frames; ++f) {
                buffer[2 * f] = left_sample(packet.start + f);
                buffer[2 * f + 1] = right_sample(packet.start + f);
            }
        }
        BYTE* start = reinterpret_cast<BYTE*>(buffer.data());
        if ((packet.flags & FLAG_MISALIGNED) != 0) start += 2;
        *data = start;
        *frames = packet.frames;
        *flags = packet.flags & (FLAG_SILENT | FLAG_DISCONTINUITY);
        stream_->held = true;
        stream_->held_frames = packet.frames;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (!stream_->held) {
            g_engine.write("misuse: ReleaseBuffer without a packet");
            return OUT_OF_ORDER;
        }
        if (frames != 0 && frames != stream_->held_frames) {
            g_engine.write("misuse: ReleaseBuffer " + std::to_string(frames) + " of " + std::to_string(stream_->held_frames));
            return INVALID_SIZE;
        }
        if (HRESULT hr = g_engine.scripted("ReleaseBuffer", stream_->next, true); FAILED(hr)) return hr;
        stream_->held = false;
        ++stream_->next;
        return S_OK;
    }

private:
    IUnknown* owner_;
    Stream* stream_;
    bool positions_noted_ = false;
};

class AudioClient final : public Counted<IAudioClient> {
public:
    AudioClient() : Counted(&g_engine.live_audio_clients) {}
    ~AudioClient() override {
        stream_.stop();
        if (stream_.running) g_engine.write("misuse: audio client released while running");
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override { return answer(riid, AUDIO_CLIENT_IID, out); }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                         REFERENCE_TIME period, const WAVEFORMATEX* format, LPCGUID session) override {
        std::string line = "Initialize mode=" + std::to_string(static_cast<int>(mode)) + " flags=" + hex(flags) +
                           " duration=" + std::to_string(duration) + " period=" + std::to_string(period);
        if (format) {
            line += " format=" + std::to_string(format->wFormatTag) + "," + std::to_string(format->nChannels) + "," +
                    std::to_string(format->nSamplesPerSec) + "," + std::to_string(format->nAvgBytesPerSec) + "," +
                    std::to_string(format->nBlockAlign) + "," + std::to_string(format->wBitsPerSample) + "," +
                    std::to_string(format->cbSize);
        } else {
            line += " format=null";
        }
        line += session ? " session=given" : " session=null";
        g_engine.write(line);
        if (!format) return E_POINTER;
        if (stream_.initialized) return ALREADY_INITIALIZED;
        if (HRESULT hr = g_engine.scripted("Initialize", 0, false); FAILED(hr)) return hr;
        stream_.initialized = true;
        stream_.event_callback = (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        g_engine.write("GetBufferSize");
        if (!frames) return E_POINTER;
        if (!stream_.initialized) return NOT_INITIALIZED;
        if (HRESULT hr = g_engine.scripted("GetBufferSize", 0, false); FAILED(hr)) return hr;
        *frames = g_engine.scenario.buffer_frames;
        return S_OK;
    }
    // Calls the capture host does not make; each is noted, so a test sees any it starts making.
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
        g_engine.write("GetStreamLatency");
        if (!latency) return E_POINTER;
        *latency = 0;
        return stream_.initialized ? S_OK : NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
        g_engine.write("GetCurrentPadding");
        if (!frames) return E_POINTER;
        *frames = 0;
        return stream_.initialized ? S_OK : NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX** closest) override {
        g_engine.write("IsFormatSupported");
        if (closest) *closest = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        g_engine.write("GetMixFormat");
        if (format) *format = nullptr;
        return E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* period, REFERENCE_TIME* minimum) override {
        g_engine.write("GetDevicePeriod");
        if (period) *period = 100000;  // 10 ms
        if (minimum) *minimum = 30000;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Start() override {
        g_engine.write("Start");
        if (!stream_.initialized) return NOT_INITIALIZED;
        if (stream_.running) return NOT_STOPPED;
        if (stream_.event_callback && !stream_.event) return EVENTHANDLE_NOT_SET;
        if (HRESULT hr = g_engine.scripted("Start", 0, false); FAILED(hr)) return hr;
        stream_.running = true;
        stream_.stop_pacer = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        stream_.pacer = CreateThread(nullptr, 0, &Stream::pace, &stream_, 0, nullptr);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stop() override {
        g_engine.write("Stop");
        if (!stream_.initialized) return NOT_INITIALIZED;
        if (!stream_.running) return S_FALSE;
        stream_.stop();
        stream_.running = false;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        g_engine.write("Reset");
        return stream_.running ? NOT_STOPPED : S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        g_engine.write(std::string("SetEventHandle ") + (event ? "event" : "null"));
        if (!event) return E_INVALIDARG;
        if (!stream_.initialized) return NOT_INITIALIZED;
        if (!stream_.event_callback) return EVENTHANDLE_NOT_EXPECTED;
        if (HRESULT hr = g_engine.scripted("SetEventHandle", 0, false); FAILED(hr)) return hr;
        stream_.event = event;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** out) override {
        const bool capture = IsEqualGUID(riid, CAPTURE_CLIENT_IID);
        g_engine.write(capture ? "GetService IAudioCaptureClient" : "GetService other");
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!stream_.initialized) return NOT_INITIALIZED;
        if (!capture) return E_NOINTERFACE;
        if (HRESULT hr = g_engine.scripted("GetService", 0, false); FAILED(hr)) return hr;
        *out = static_cast<IAudioCaptureClient*>(new CaptureClient(static_cast<IAudioClient*>(this), &stream_));
        return S_OK;
    }

private:
    Stream stream_;
};

class Operation final : public Counted<IActivateAudioInterfaceAsyncOperation> {
public:
    Operation() : Counted(&g_engine.live_operations) {
        const Scenario& s = g_engine.scenario;
        result_ = static_cast<HRESULT>(s.activate_hr);
        if (SUCCEEDED(result_)) {
            if (s.delivered == Delivered::client) interface_ = static_cast<IAudioClient*>(new AudioClient());
            if (s.delivered == Delivered::other) interface_ = new Other();
        }
    }
    ~Operation() override {
        if (interface_) interface_->Release();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override { return answer(riid, OPERATION_IID, out); }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        if (!result || !activated) return E_POINTER;
        *result = result_;
        *activated = interface_;
        if (interface_) interface_->AddRef();
        return S_OK;
    }

private:
    HRESULT result_ = S_OK;
    IUnknown* interface_ = nullptr;
};

#pragma GCC diagnostic pop

// Calls the handler once with the operation (or with none), then lets go of the engine's
// references. Returns what was left of the handler's references.
ULONG complete_activation(const char* where, bool at_process_end) {
    if (g_engine.completed.exchange(true)) return ~0u;
    IActivateAudioInterfaceCompletionHandler* handler = g_engine.handler;
    IActivateAudioInterfaceAsyncOperation* operation = g_engine.operation;
    g_engine.handler = nullptr;
    g_engine.operation = nullptr;
    const bool with_operation = g_engine.scenario.activation != Activation::no_operation_callback;
    // Written before the call: the host may go on (and end) as soon as the handler has its
    // result, so nothing the record depends on may come after the call.
    g_engine.write(std::string("completing ") + where);
    // While the caller still waits it holds the operation itself, so the engine's reference
    // can go first; at process end the engine's is the last one and goes after the call.
    IActivateAudioInterfaceAsyncOperation* const passed = with_operation ? operation : nullptr;
    if (operation && !at_process_end) {
        operation->Release();
        operation = nullptr;
    }
    const HRESULT hr = handler->ActivateCompleted(passed);
    if (hr != S_OK) g_engine.write("completion handler returned " + hex(code(hr)));
    const ULONG left = handler->Release();
    if (operation) operation->Release();
    return left;
}

DWORD WINAPI completion_thread(void*) {
    if (g_engine.scenario.delay_ms > 0) Sleep(g_engine.scenario.delay_ms);
    complete_activation("on engine thread", false);
    return 0;
}

// At the end of the process: a late completion, then what is still alive.
void process_ends() {
    if (!g_engine.loaded) return;
    if (g_engine.handler && g_engine.scenario.activation == Activation::late) {
        const ULONG left = complete_activation("at process end", true);
        g_engine.write("late completion left handler references=" + std::to_string(left));
    } else if (g_engine.handler) {
        // Never completed (or no operation was handed out): the engine's reference is the last one.
        const ULONG left = g_engine.handler->Release();
        g_engine.handler = nullptr;
        if (g_engine.operation) g_engine.operation->Release();
        g_engine.operation = nullptr;
        g_engine.write("never completed; handler references besides the engine's=" + std::to_string(left));
    }
    g_engine.write("at exit live operations=" + std::to_string(g_engine.live_operations.load()) +
                   " audio clients=" + std::to_string(g_engine.live_audio_clients.load()) +
                   " capture clients=" + std::to_string(g_engine.live_capture_clients.load()));
}

}  // namespace

// mmdeviceapi.h declares the function for importers; this definition exports it.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wdll-attribute-on-redeclaration"
#endif
extern "C" __declspec(dllexport) HRESULT WINAPI ActivateAudioInterfaceAsync(
    const WCHAR* path, REFIID riid, PROPVARIANT* params, IActivateAudioInterfaceCompletionHandler* handler,
    IActivateAudioInterfaceAsyncOperation** operation) {
    g_engine.load();
    if (g_engine.shared) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        g_engine.shared->activated_at.store(now.QuadPart);
    }
    std::string line = "activate path=" + std::string(path ? narrow(path) : "null");
    line += IsEqualGUID(riid, AUDIO_CLIENT_IID) ? " iid=IAudioClient" : " iid=other";
    const char* refusal = nullptr;
    HRESULT refusal_hr = E_INVALIDARG;
    if (!path || std::wstring(path) != L"VAD\\Process_Loopback") refusal = "device path";
    if (!IsEqualGUID(riid, AUDIO_CLIENT_IID)) refusal = "interface";
    if (!params) {
        line += " params=null";
        refusal = "parameters";
    } else {
        line += " vt=" + std::to_string(params->vt) + " size=" + std::to_string(params->blob.cbSize);
        if (params->vt != VT_BLOB || params->blob.cbSize != 12 || !params->blob.pBlobData) {
            refusal = "parameters";
        } else {
            DWORD fields[3];
            std::memcpy(fields, params->blob.pBlobData, sizeof fields);
            line += " type=" + std::to_string(fields[0]) + " pid=" + std::to_string(fields[1]) +
                    " mode=" + std::to_string(fields[2]);
            if (fields[0] != 1 || fields[2] > 1) refusal = "parameters";
        }
    }
    if (!handler) {
        line += " handler=null";
        refusal = "handler";
        refusal_hr = E_POINTER;
    } else {
        IUnknown* agile = nullptr;
        const bool is_agile = SUCCEEDED(handler->QueryInterface(AGILE_IID, reinterpret_cast<void**>(&agile))) && agile;
        if (agile) agile->Release();
        line += is_agile ? " handler=agile" : " handler=not-agile";
        if (!is_agile) refusal = "handler";
    }
    if (!operation) {
        line += " operation=null";
        refusal = "operation";
        refusal_hr = E_POINTER;
    }
    g_engine.write(line);
    if (operation) *operation = nullptr;
    if (refusal) {
        g_engine.write(std::string("refused: ") + refusal);
        return refusal_hr;
    }

    const Scenario& s = g_engine.scenario;
    if (s.activation == Activation::refuse) {
        Engine::set_error_description("test engine: ActivateAudioInterfaceAsync failed");
        return static_cast<HRESULT>(s.activate_hr);
    }
    handler->AddRef();
    g_engine.handler = handler;
    auto* made = new Operation();
    g_engine.operation = made;  // the engine's reference
    if (s.activation != Activation::no_operation) {
        made->AddRef();
        *operation = made;
    }
    // Without an operation the caller has nothing to wait on: the engine keeps the handler, as
    // for a completion that never comes.
    if (s.activation == Activation::complete || s.activation == Activation::no_operation_callback) {
        HANDLE thread = CreateThread(nullptr, 0, &completion_thread, nullptr, 0, nullptr);
        if (thread) CloseHandle(thread);
    }
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) process_ends();
    return TRUE;
}
