// The activation completion handler and its one-slot channel, driven by a scripted activation
// operation: the texts of every completion outcome, agility, reference counting, and a
// completion that arrives after the wait gave up. Also the console stop handler.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "console_stop_win.hpp"
#include "loopback_source_win.hpp"

namespace tamsel::host::win {
namespace {

const GUID UNKNOWN_IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID MARSHAL_IID = {0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID AGILE_IID = {0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
const GUID HANDLER_IID = {0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
const GUID OTHER_IID = {0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34}};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// An activated object that counts its references; it answers for IAudioClient only when told
// (it is never used as an audio client beyond its reference count).
class CountedObject final : public IUnknown {
public:
    enum class AudioClientAnswer { Yes, No, NullWithSuccess };
    explicit CountedObject(AudioClientAnswer answer) : answer_(answer) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (IsEqualGUID(riid, UNKNOWN_IID)) {
            *out = this;
        } else if (IsEqualGUID(riid, AUDIO_CLIENT_IID)) {
            if (answer_ == AudioClientAnswer::No) return E_NOINTERFACE;
            if (answer_ == AudioClientAnswer::NullWithSuccess) return S_OK;
            *out = this;
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
    std::atomic<ULONG> refs{0};

private:
    AudioClientAnswer answer_;
};

class ScriptedOperation final : public IActivateAudioInterfaceAsyncOperation {
public:
    ScriptedOperation(HRESULT call, HRESULT activation, IUnknown* activated)
        : call_(call), activation_(activation), activated_(activated) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activation, IUnknown** activated) override {
        *activation = activation_;
        *activated = activated_;
        if (activated_) activated_->AddRef();
        return call_;
    }

private:
    HRESULT call_, activation_;
    IUnknown* activated_;
};

#pragma GCC diagnostic pop

struct Pair {
    std::shared_ptr<ActivationChannel> channel;
    ComPtr<IActivateAudioInterfaceCompletionHandler> handler;
};

Pair make_pair_or_fail() {
    Result<std::shared_ptr<ActivationChannel>> channel = ActivationChannel::create();
    EXPECT_TRUE(channel.has_value());
    if (!channel) return {};
    Result<ComPtr<IActivateAudioInterfaceCompletionHandler>> handler = make_activation_handler(*channel);
    EXPECT_TRUE(handler.has_value()) << (handler ? "" : handler.error());
    if (!handler) return {};
    return Pair{*channel, *handler};
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
// "{context}: {message} ({code})", or "{context}: {code}" when the system has no message.
bool is_context_error(const std::string& text, const std::string& context, const std::string& code) {
    if (!starts_with(text, context + ": ")) return false;
    const std::string rest = text.substr(context.size() + 2);
    return rest == code || (rest.size() > code.size() + 3 && ends_with(rest, " (" + code + ")"));
}

class Activation : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(Activation, CompletionOutcomesAndTheirTexts) {
    struct Case {
        const char* name;
        HRESULT call, activation;
        CountedObject::AudioClientAnswer answer;
        bool with_object;
        const char* context;  // the whole text when code is empty
        const char* code;
    };
    using A = CountedObject::AudioClientAnswer;
    const Case cases[] = {
        {"reading the result fails", E_FAIL, S_OK, A::Yes, true, "activation result", "0x80004005"},
        {"the system refuses process loopback", S_OK, HRESULT(0x80070002), A::Yes, true,
         "process-loopback activation (requires supported Windows build)", "0x80070002"},
        {"success without an interface", S_OK, S_OK, A::Yes, false, "activated interface missing", ""},
        {"the interface is not an audio client", S_OK, S_OK, A::No, true, "audio client", "0x80004002"},
        {"the query succeeds with a null client", S_OK, S_OK, A::NullWithSuccess, true, "audio client",
         "0x80004003"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountedObject object(c.answer);
        {
            ScriptedOperation operation(c.call, c.activation, c.with_object ? &object : nullptr);
            Pair pair = make_pair_or_fail();
            ASSERT_TRUE(pair.handler);
            EXPECT_EQ(pair.handler->ActivateCompleted(&operation), S_OK);
            ActivationResult result = await_activation(*pair.channel, 1000);
            ASSERT_FALSE(result.has_value());
            if (c.code[0] == '\0') {
                EXPECT_EQ(result.error(), c.context);
            } else {
                EXPECT_TRUE(is_context_error(result.error(), c.context, c.code)) << result.error();
            }
        }
        EXPECT_EQ(object.refs.load(), 0u) << "every reference taken on the activated object is given back";
    }
}

TEST_F(Activation, MissingOperationIsReported) {
    Pair pair = make_pair_or_fail();
    ASSERT_TRUE(pair.handler);
    EXPECT_EQ(pair.handler->ActivateCompleted(nullptr), S_OK);
    ActivationResult result = await_activation(*pair.channel, 1000);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "activation operation missing");
}

TEST_F(Activation, SuccessHandsOverTheAudioClientWithOneReference) {
    CountedObject object(CountedObject::AudioClientAnswer::Yes);
    {
        ScriptedOperation operation(S_OK, S_OK, &object);
        Pair pair = make_pair_or_fail();
        ASSERT_TRUE(pair.handler);
        // Completed on another thread, as the system does.
        std::thread system([&] { pair.handler->ActivateCompleted(&operation); });
        ActivationResult result = await_activation(*pair.channel, 5000);
        system.join();
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_EQ(static_cast<void*>(result->get()), static_cast<void*>(&object));
        EXPECT_EQ(object.refs.load(), 1u);
    }
    EXPECT_EQ(object.refs.load(), 0u);
}

TEST_F(Activation, OnlyTheFirstCompletionCounts) {
    CountedObject object(CountedObject::AudioClientAnswer::Yes);
    {
        ScriptedOperation refused(S_OK, HRESULT(0x80070005), nullptr);
        ScriptedOperation granted(S_OK, S_OK, &object);
        Pair pair = make_pair_or_fail();
        ASSERT_TRUE(pair.handler);
        pair.handler->ActivateCompleted(&refused);
        pair.handler->ActivateCompleted(&granted);
        ActivationResult result = await_activation(*pair.channel, 1000);
        ASSERT_FALSE(result.has_value());
        EXPECT_TRUE(is_context_error(result.error(), "process-loopback activation (requires supported Windows build)",
                                     "0x80070005"))
            << result.error();
    }
    EXPECT_EQ(object.refs.load(), 0u);
}

TEST_F(Activation, LateCompletionAfterTheWaitGaveUpIsDroppedSafely) {
    CountedObject object(CountedObject::AudioClientAnswer::Yes);
    {
        ScriptedOperation operation(S_OK, S_OK, &object);
        Pair pair = make_pair_or_fail();
        ASSERT_TRUE(pair.handler);
        IActivateAudioInterfaceCompletionHandler* system_reference = pair.handler.get();
        system_reference->AddRef();  // the reference the system holds until it calls back

        ActivationResult result = await_activation(*pair.channel, 50);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), "process-loopback activation timed out");
        // The waiting side lets go of everything, as the run does after the error.
        pair.channel.reset();
        pair.handler.reset();

        std::thread system([&] {
            system_reference->ActivateCompleted(&operation);
            system_reference->Release();
        });
        system.join();
    }
    EXPECT_EQ(object.refs.load(), 0u) << "the dropped audio client is released";
}

TEST_F(Activation, HandlerGoneWithoutCompletingEndsTheWaitAtOnce) {
    Pair pair = make_pair_or_fail();
    ASSERT_TRUE(pair.handler);
    pair.handler.reset();
    const auto before = std::chrono::steady_clock::now();
    ActivationResult result = await_activation(*pair.channel, 10000);
    const auto waited = std::chrono::steady_clock::now() - before;
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "process-loopback activation timed out");
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST_F(Activation, HandlerIsAgileAndCountsItsReferences) {
    Pair pair = make_pair_or_fail();
    ASSERT_TRUE(pair.handler);
    IActivateAudioInterfaceCompletionHandler* handler = pair.handler.get();
    struct Case {
        const char* name;
        const GUID* iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {"IUnknown", &UNKNOWN_IID, S_OK},
        {"IActivateAudioInterfaceCompletionHandler", &HANDLER_IID, S_OK},
        {"IAgileObject", &AGILE_IID, S_OK},
        {"IMarshal (free-threaded marshaler)", &MARSHAL_IID, S_OK},
        {"anything else", &OTHER_IID, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(handler->QueryInterface(*c.iid, &out), c.expected);
        if (c.expected == S_OK) {
            ASSERT_NE(out, nullptr);
            // The interface holds one reference on the handler: ours plus it makes 2.
            auto* unknown = static_cast<IUnknown*>(out);
            EXPECT_EQ(handler->AddRef(), 3u);
            EXPECT_EQ(handler->Release(), 2u);
            EXPECT_EQ(unknown->Release(), 1u);
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    // Same identity through every path.
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(handler->QueryInterface(UNKNOWN_IID, &a), S_OK);
    ASSERT_EQ(pair.handler->QueryInterface(HANDLER_IID, &b), S_OK);
    void* c = nullptr;
    ASSERT_EQ(static_cast<IUnknown*>(b)->QueryInterface(UNKNOWN_IID, &c), S_OK);
    EXPECT_EQ(a, c);
    static_cast<IUnknown*>(a)->Release();
    static_cast<IUnknown*>(b)->Release();
    static_cast<IUnknown*>(c)->Release();
}

TEST(ActivationParams, LayoutIsThreeConsecutive32BitFields) {
    AUDIOCLIENT_ACTIVATION_PARAMS params{};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = 0x01020304;
    params.ProcessLoopbackParams.ProcessLoopbackMode = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    DWORD fields[3];
    static_assert(sizeof fields == sizeof params);
    memcpy(fields, &params, sizeof params);
    EXPECT_EQ(fields[0], 1u);
    EXPECT_EQ(fields[1], 0x01020304u);
    EXPECT_EQ(fields[2], 1u);
    EXPECT_EQ(std::wstring(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK), L"VAD\\Process_Loopback");
}

// Runs in a child with a console of its own (so no other process receives the event): installs
// the handler, raises a control event and reports through its exit code whether the flag was set
// and the process survived the event.
int console_child() {
    // CREATE_NEW_CONSOLE gave the child its own console; attach one should it have none.
    if (!AllocConsole() && GetLastError() != ERROR_ACCESS_DENIED) return 10;
    if (stop_requested().load()) return 11;
    if (!install_console_stop_handler()) return 12;
    // Ctrl+C to every process of this console: the child alone.
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 13;
    for (int i = 0; i < 300 && !stop_requested().load(std::memory_order_acquire); ++i) Sleep(10);
    return stop_requested().load(std::memory_order_acquire) ? 0 : 14;
}

// The handler's answer for every control event: handled (TRUE), so no event ends the process
// by the system's default action once capture runs; each sets the flag.
TEST(ConsoleStop, EveryControlEventIsAnsweredHandled) {
    struct Case {
        const char* name;
        DWORD event;
    };
    const Case cases[] = {
        {"Ctrl+C", CTRL_C_EVENT},          {"Ctrl+Break", CTRL_BREAK_EVENT},
        {"close", CTRL_CLOSE_EVENT},       {"logoff", CTRL_LOGOFF_EVENT},
        {"shutdown", CTRL_SHUTDOWN_EVENT}, {"an event of a later system", 0x1234},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(console_stop_handler(c.event), TRUE);
        EXPECT_TRUE(stop_requested().load(std::memory_order_acquire));
    }
}

TEST(ConsoleStop, ControlEventOnlySetsTheStopFlag) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = std::wstring(L"\"") + self + L"\" --console-child";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                               nullptr, nullptr, &startup, &info))
        << GetLastError();
    CloseHandle(info.hThread);
    DWORD code = 99;
    if (WaitForSingleObject(info.hProcess, 20000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(info.hProcess, &code);
    } else {
        TerminateProcess(info.hProcess, 98);
    }
    CloseHandle(info.hProcess);
    // 0: flag set and the process went on (the event was reported as handled).
    EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace tamsel::host::win

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--console-child") return tamsel::host::win::console_child();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
