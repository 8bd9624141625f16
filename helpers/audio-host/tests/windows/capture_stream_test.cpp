// The loopback stream over a scripted audio engine (Wine has no process loopback to activate):
// what the set-up asks the engine for, the text of each failing step, the capture event, the
// client calls behind the packet loop, and that every interface and handle is let go.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

#include "failing_allocation.hpp"
#include "loopback_source_win.hpp"
#include "open_handles_win.hpp"
#include "packet_loop.hpp"

namespace tamsel::host::win {
namespace {

const GUID CAPTURE_CLIENT_IID = {0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
constexpr HRESULT ENGINE_ERROR = static_cast<HRESULT>(0x88890004);  // AUDCLNT_E_DEVICE_INVALIDATED

using Log = std::vector<std::string>;

std::string hex(unsigned long value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", value);
    return buffer;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

class FakeCaptureClient final : public IAudioCaptureClient {
public:
    explicit FakeCaptureClient(Log& log) : log_(log) {}
    std::atomic<ULONG> refs{0};
    HRESULT next_size_result = S_OK, get_result = S_OK, release_result = S_OK;
    UINT32 next_size = 4, frames = 4;
    DWORD flags = 0;
    alignas(16) float samples[64] = {};
    bool positions_requested = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* out_frames, DWORD* out_flags, UINT64* position,
                                        UINT64* counter) override {
        log_.push_back("GetBuffer");
        positions_requested = position != nullptr || counter != nullptr;
        if (FAILED(get_result)) return get_result;
        *data = reinterpret_cast<BYTE*>(samples);
        *out_frames = frames;
        *out_flags = flags;
        next_size = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 released) override {
        log_.push_back("ReleaseBuffer " + std::to_string(released));
        return release_result;
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* size) override {
        log_.push_back("GetNextPacketSize");
        *size = next_size;
        return next_size_result;
    }

private:
    Log& log_;
};

class FakeAudioClient final : public IAudioClient {
public:
    FakeAudioClient(Log& log, FakeCaptureClient* capture) : log_(log), capture_(capture) {}
    std::atomic<ULONG> refs{0};
    HRESULT initialize_result = S_OK, buffer_size_result = S_OK, service_result = S_OK, set_event_result = S_OK,
            start_result = S_OK;
    bool service_gives_null = false;
    UINT32 buffer_frames = 1056;
    HANDLE event = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                         REFERENCE_TIME period, const WAVEFORMATEX* f, LPCGUID session) override {
        log_.push_back("Initialize mode=" + std::to_string(mode) + " flags=" + hex(flags) +
                       " duration=" + std::to_string(duration) + " period=" + std::to_string(period) +
                       " tag=" + std::to_string(f->wFormatTag) + " channels=" + std::to_string(f->nChannels) +
                       " rate=" + std::to_string(f->nSamplesPerSec) + " bytes/s=" + std::to_string(f->nAvgBytesPerSec) +
                       " align=" + std::to_string(f->nBlockAlign) + " bits=" + std::to_string(f->wBitsPerSample) +
                       " cb=" + std::to_string(f->cbSize) + (session ? " session" : " no session"));
        return initialize_result;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        log_.push_back("GetBufferSize");
        *frames = buffer_frames;
        return buffer_size_result;
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Start() override {
        log_.push_back("Start");
        return start_result;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        log_.push_back("Stop");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE h) override {
        log_.push_back("SetEventHandle");
        event = h;
        return set_event_result;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** out) override {
        log_.push_back(IsEqualGUID(riid, CAPTURE_CLIENT_IID) ? "GetService IAudioCaptureClient" : "GetService other");
        *out = nullptr;
        if (FAILED(service_result)) return service_result;
        if (!service_gives_null) {
            capture_->AddRef();
            *out = capture_;
        }
        return S_OK;
    }

private:
    Log& log_;
    FakeCaptureClient* capture_;
};

#pragma GCC diagnostic pop

struct Engine {
    Log log;
    FakeCaptureClient capture{log};
    FakeAudioClient audio{log, &capture};

    Result<std::unique_ptr<CaptureClient>> open() {
        audio.AddRef();
        return initialise_loopback_stream(ComPtr<IAudioClient>::adopt(&audio));
    }
};

bool is_context_error(const std::string& text, const std::string& context, HRESULT code) {
    const std::string c = hex(static_cast<unsigned long>(code));
    if (text.rfind(context + ": ", 0) != 0) return false;
    const std::string rest = text.substr(context.size() + 2);
    const std::string tail = " (" + c + ")";
    return rest == c || (rest.size() > tail.size() && rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0);
}

using test_support::handle_is_open;

const std::string INITIALIZE =
    "Initialize mode=0 flags=0x80060000 duration=0 period=0 tag=3 channels=2 rate=48000 bytes/s=384000 align=8 "
    "bits=32 cb=0 no session";

TEST(LoopbackStream, SetUpAsksTheEngineForSharedEventDrivenFloatStereo48k) {
    Engine engine;
    {
        Result<std::unique_ptr<CaptureClient>> stream = engine.open();
        ASSERT_TRUE(stream.has_value()) << stream.error();
        const std::vector<std::string> expected = {INITIALIZE, "GetBufferSize", "GetService IAudioCaptureClient",
                                                   "SetEventHandle"};
        EXPECT_EQ(engine.log, expected);
        EXPECT_EQ((*stream)->buffer_frames(), 1056u);

        // The capture event: open, not signalled at first, auto-reset.
        ASSERT_TRUE(engine.audio.event);
        EXPECT_EQ((*stream)->wait_for_packet(0), WaitOutcome::Timeout);
        SetEvent(engine.audio.event);
        EXPECT_EQ((*stream)->wait_for_packet(0), WaitOutcome::Signalled);
        EXPECT_EQ((*stream)->wait_for_packet(0), WaitOutcome::Timeout) << "the event resets itself";
        EXPECT_EQ(engine.audio.refs.load(), 1u);
        EXPECT_EQ(engine.capture.refs.load(), 1u);
    }
    EXPECT_EQ(engine.audio.refs.load(), 0u);
    EXPECT_EQ(engine.capture.refs.load(), 0u);
    EXPECT_FALSE(handle_is_open(engine.audio.event)) << "the capture event is closed with the stream";
}

TEST(LoopbackStream, EachFailingStepGivesItsTextAndReleasesEverything) {
    struct Case {
        const char* name;
        void (*arrange)(FakeAudioClient&);
        const char* context;
        HRESULT code;
        std::size_t engine_calls;
    };
    const Case cases[] = {
        {"Initialize", [](FakeAudioClient& a) { a.initialize_result = AUDCLNT_E_UNSUPPORTED_FORMAT; },
         "initialize float32 process capture", AUDCLNT_E_UNSUPPORTED_FORMAT, 1},
        {"GetBufferSize", [](FakeAudioClient& a) { a.buffer_size_result = AUDCLNT_E_NOT_INITIALIZED; },
         "capture buffer size", AUDCLNT_E_NOT_INITIALIZED, 2},
        {"GetService", [](FakeAudioClient& a) { a.service_result = E_NOINTERFACE; }, "capture service", E_NOINTERFACE, 3},
        {"GetService without an interface", [](FakeAudioClient& a) { a.service_gives_null = true; }, "capture service",
         E_POINTER, 3},
        {"SetEventHandle", [](FakeAudioClient& a) { a.set_event_result = E_INVALIDARG; }, "set capture event",
         E_INVALIDARG, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine engine;
        c.arrange(engine.audio);
        {
            Result<std::unique_ptr<CaptureClient>> stream = engine.open();
            ASSERT_FALSE(stream.has_value());
            EXPECT_TRUE(is_context_error(stream.error(), c.context, c.code)) << stream.error();
        }
        EXPECT_EQ(engine.log.size(), c.engine_calls);
        EXPECT_EQ(engine.audio.refs.load(), 0u);
        EXPECT_EQ(engine.capture.refs.load(), 0u);
        if (engine.audio.event) {
            EXPECT_FALSE(handle_is_open(engine.audio.event)) << "the event is closed on failure";
        }
    }
}

TEST(LoopbackStream, ClientCallsAndTheirFailureTexts) {
    Engine engine;
    Result<std::unique_ptr<CaptureClient>> opened = engine.open();
    ASSERT_TRUE(opened.has_value()) << opened.error();
    CaptureClient& stream = **opened;
    engine.capture.flags = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY | AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;

    Result<std::uint32_t> size = stream.next_packet_size();
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(*size, 4u);
    Result<CapturePacket> packet = stream.get_buffer();
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->data, static_cast<const void*>(engine.capture.samples));
    EXPECT_EQ(packet->frames, 4u);
    EXPECT_EQ(packet->flags, PACKET_FLAG_DISCONTINUITY | 0x4u);
    EXPECT_FALSE(engine.capture.positions_requested) << "no device or performance-counter position";
    EXPECT_TRUE(stream.release_buffer(4).has_value());

    engine.capture.next_size_result = ENGINE_ERROR;
    engine.capture.get_result = ENGINE_ERROR;
    engine.capture.release_result = ENGINE_ERROR;
    engine.audio.start_result = ENGINE_ERROR;
    Result<std::uint32_t> bad_size = stream.next_packet_size();
    ASSERT_FALSE(bad_size.has_value());
    EXPECT_TRUE(is_context_error(bad_size.error(), "next capture packet", ENGINE_ERROR)) << bad_size.error();
    Result<CapturePacket> bad_get = stream.get_buffer();
    ASSERT_FALSE(bad_get.has_value());
    EXPECT_TRUE(is_context_error(bad_get.error(), "read capture packet", ENGINE_ERROR)) << bad_get.error();
    Status bad_release = stream.release_buffer(4);
    ASSERT_FALSE(bad_release.has_value());
    EXPECT_TRUE(is_context_error(bad_release.error(), "release capture packet", ENGINE_ERROR)) << bad_release.error();
    Status bad_start = stream.start();
    ASSERT_FALSE(bad_start.has_value());
    EXPECT_TRUE(is_context_error(bad_start.error(), "start process capture", ENGINE_ERROR)) << bad_start.error();

    // stop: Stop once, the audio client let go; the capture interface stays until the end.
    engine.log.clear();
    stream.stop();
    stream.stop();
    EXPECT_EQ(engine.log, std::vector<std::string>{"Stop"});
    EXPECT_EQ(engine.audio.refs.load(), 0u);
    EXPECT_EQ(engine.capture.refs.load(), 1u);
    opened->reset();
    EXPECT_EQ(engine.capture.refs.load(), 0u);
}

// Each allocation of the set-up fails in turn: the set-up ends (by the exception) with the
// capture event closed and both interfaces released, whichever allocation it was.
TEST(LoopbackStream, AnAllocationThatFailsLeavesNoHandleAndNoReference) {
    std::size_t failed = 0;
    std::unique_ptr<Engine> engine;
    test::for_each_failing_allocation(
        std::chrono::seconds(60), "initialise_loopback_stream",
        [&] {
            Result<std::unique_ptr<CaptureClient>> stream = engine->open();
            EXPECT_TRUE(stream.has_value());
        },
        [&](const test::FailingRun& run) {
            SCOPED_TRACE("allocation " + std::to_string(run.armed));
            if (run.threw) ++failed;
            EXPECT_EQ(engine->audio.refs.load(), 0u);
            EXPECT_EQ(engine->capture.refs.load(), 0u);
            // Every allocation after CreateEventW comes after SetEventHandle, which shows the event.
            if (engine->audio.event) {
                EXPECT_FALSE(handle_is_open(engine->audio.event)) << "the capture event is left open";
            }
        },
        [&] {
            engine = std::make_unique<Engine>();
            // Room for every call's line, so the engine's own log never allocates in a call
            // that may not throw (Stop, from the stream's destructor).
            engine->log.reserve(64);
        });
    EXPECT_GT(failed, 1u);
}

// The packet loop on the real capture event and client wrapper.
class StopAfterFirstPush {
public:
    explicit StopAfterFirstPush(std::atomic<bool>& stop) : stop_(stop) {}
    std::size_t push_samples(const float* samples, std::size_t count) noexcept {
        pushed.push_back(count);
        first = samples;
        stop_.store(true);
        return count / 2;
    }
    void mark_discontinuity() noexcept { marks_before_push += pushed.empty() ? 1 : 0; }
    std::vector<std::size_t> pushed;
    const float* first = nullptr;
    int marks_before_push = 0;

private:
    std::atomic<bool>& stop_;
};

class AlwaysRunning final : public ProcessHandle {
public:
    bool is_running() const override { return true; }
};

TEST(LoopbackStream, PacketLoopRunsOnTheRealEventAndWrapper) {
    Engine engine;
    Result<std::unique_ptr<CaptureClient>> opened = engine.open();
    ASSERT_TRUE(opened.has_value()) << opened.error();
    engine.capture.flags = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    ASSERT_TRUE((*opened)->start().has_value());
    SetEvent(engine.audio.event);  // the engine has a packet

    std::atomic<bool> stop{false};
    std::atomic<bool> output_failed{false};
    const SilenceBuffer silence{};
    AlwaysRunning translator;
    StopAfterFirstPush sink(stop);
    const PacketLoopContext context{**opened, translator, nullptr, stop, output_failed, silence};
    const Status result = capture_packets(context, sink);
    EXPECT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(sink.pushed, std::vector<std::size_t>{8});
    EXPECT_EQ(sink.first, engine.capture.samples) << "pushed straight from the engine's buffer";
    EXPECT_EQ(sink.marks_before_push, 1);
}

// A capture event the wait cannot use (a copy of it without the right to wait on it): the
// wrapper reports the failed wait, and the packet loop ends with its message.
TEST(LoopbackStream, AFailedEventWaitEndsTheLoopWithItsMessage) {
    Engine engine;
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    HANDLE no_wait = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &no_wait, EVENT_MODIFY_STATE, FALSE, 0));
    CloseHandle(event);
    engine.audio.AddRef();
    engine.capture.AddRef();
    ProcessLoopbackSource source(ComPtr<IAudioClient>::adopt(&engine.audio),
                                 ComPtr<IAudioCaptureClient>::adopt(&engine.capture), UniqueHandle(no_wait), 1056);
    EXPECT_EQ(source.wait_for_packet(0), WaitOutcome::Failed);

    std::atomic<bool> stop{false};
    std::atomic<bool> output_failed{false};
    const SilenceBuffer silence{};
    AlwaysRunning translator;
    StopAfterFirstPush sink(stop);
    const PacketLoopContext context{source, translator, nullptr, stop, output_failed, silence};
    const Status result = capture_packets(context, sink);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "capture event wait failed");
    EXPECT_TRUE(sink.pushed.empty());
}

}  // namespace
}  // namespace tamsel::host::win
