// The shipped capture host end to end: this program plays the translator, starts a copy of the
// real tamsel_audio_host.exe with pipes on all three standard handles, and lets the scripted
// process-loopback engine (mmdevapi.dll from this folder, loaded beside the copy in place of
// Wine's) feed it audio. Each test checks the exact standard error, the exit code, standard
// output byte for byte against the script, and what the engine was asked for.
//
// Usage: WINEDLLOVERRIDES="mmdevapi=n,b" wine tamsel_host_end_to_end_tests <tamsel_audio_host.exe>
//        <test mmdevapi.dll> [--audio-seconds=N] [gtest flags]
// The same program also serves as its own helper processes, which act when the test sets the
// `go` flag of the shared block (at most a minute later, they act anyway):
//   --sleep                           waits for go, then ends
//   --orphan                          starts "--sleep" and ends at once; exit code = its pid
//   --relay exit|console TRANSLATOR_PID HOST ARGS...
//                                     a second translator: starts HOST with its own standard
//                                     handles ("{relay}" in ARGS becomes its pid), hands the
//                                     host's process handle to the test, and at go ends (exit)
//                                     or raises Ctrl+C on its console and waits for the host
//                                     (console).
#include <windows.h>

#include <psapi.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_process_win.hpp"
#include "engine_shared.hpp"
#include "scenario.hpp"
#include "tamsel/audio/text.hpp"

namespace {

using namespace tamsel::test_engine;
using tamsel::test_support::Child;

std::wstring g_folder;  // private folder holding the copies of the host and the engine
std::wstring g_host;    // the copy of the host, beside the engine
SharedBlock* g_shared = nullptr;
std::uint64_t g_audio_seconds = 600;  // --audio-seconds=N (the volume test)
std::wstring g_shared_name;

const std::string FORMAT_LINE =
    R"({"backend":"wasapi-process-loopback","channels":1,"event":"format","sampleFormat":"s16le","sampleRate":48000})"
    "\n";
const std::string INITIALIZE_LINE =
    "Initialize mode=0 flags=0x80060000 duration=0 period=0 format=3,2,48000,384000,8,32,0 session=null";
const std::string AT_EXIT_CLEAN = "at exit live operations=0 audio clients=0 capture clients=0";

std::string error_line(const std::string& message) {
    return R"({"code":"capture_failed","event":"error","message":")" + message + "\"}\n";
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// The system's text for an HRESULT, as the host words a failed call without a COM description:
// "text (0x...)", or just the code when the message table has none.
std::string system_text(std::uint32_t hr) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, hr, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text = n && buffer ? tamsel::wide_to_utf8(std::wstring_view(buffer, n)) : std::string();
    if (buffer) LocalFree(buffer);
    text = std::string(tamsel::trim_trailing_space(text));
    return text.empty() ? hex(hr) : text + " (" + hex(hr) + ")";
}

std::int64_t now_ticks() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}
double seconds_between(std::int64_t from, std::int64_t to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(to - from) / static_cast<double>(f.QuadPart);
}

void write_file(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<std::string> read_lines(const std::wstring& path) {
    std::vector<std::string> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    std::string text = tamsel::test_support::read_all(file);
    CloseHandle(file);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Sets an environment variable of this process (the host inherits it) for one scope.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) { SetEnvironmentVariableW(name, value); }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const wchar_t* name_;
};

// The counters of a diagnostic line.
struct Counters {
    std::uint64_t accepted = 0, dropped = 0, discontinuities = 0;
};

const std::regex DIAGNOSTIC_LINE(
    R"(TAMSEL_CAPTURE rate=48000 channels=2 accepted_frames=(\d+) dropped_frames=(\d+) discontinuities=(\d+))");

std::optional<Counters> counters_of(const std::string& line) {
    std::smatch m;
    if (!std::regex_match(line, m, DIAGNOSTIC_LINE)) return std::nullopt;
    return Counters{std::stoull(m[1]), std::stoull(m[2]), std::stoull(m[3])};
}

// ---- Running the host --------------------------------------------------------------------

enum class Launch {
    direct,         // this program is the translator
    relay_exit,     // a relay translator that ends at go
    relay_console,  // a relay translator that raises Ctrl+C on its console at go
};

struct RunOptions {
    std::string scenario;
    std::vector<std::wstring> args;  // "{relay}" stands for the relay's pid
    Launch launch = Launch::direct;
    std::size_t close_stdout_after = 0;  // bytes; 0 = read to the end
    // With close_stdout_after: the reader stops reading there but keeps the pipe open, until
    // go (then it closes it: close_on_go) or until the host has ended (then it reads the rest).
    bool stall_stdout = false;
    bool close_on_go = false;
    bool diagnostics = false;
    bool keep_output = true;
    // Called on the test thread while the host runs, with the host's process handle; the go
    // flag is set when it returns. By default it waits until the whole script has arrived (or
    // the host has ended), then until a diagnostic line satisfies `until_counters` (when given)
    // or `idle_ms` more.
    std::function<void(HANDLE host)> during;
    std::function<bool(const Counters&)> until_counters;
    DWORD idle_ms = 300;
    DWORD timeout_ms = 60000;
};

struct HostRun {
    std::string out;  // kept when keep_output
    std::uint64_t out_bytes = 0;
    std::string err;
    DWORD exit_code = 0;
    bool finished = false;
    std::vector<std::string> record;
    DWORD translator_pid = 0;  // the pid the host was told to exclude
    std::int64_t exit_ticks = 0;
    std::int64_t first_byte_ticks = 0;
    std::int64_t last_byte_ticks = 0;
    std::vector<std::int64_t> chunk_arrival;  // when each chunk's last byte arrived
    // The first chunk that differs from the script (or the tail that is not a whole chunk).
    std::optional<std::uint64_t> first_wrong_chunk;
};

// Reads the host's standard output as the translator does, compares every chunk with the
// script as it arrives and publishes how far it got (the fast pace follows it).
struct OutputReader {
    HANDLE pipe = nullptr;
    const Scenario* scenario = nullptr;
    std::size_t close_after = 0;
    bool keep = true;
    HostRun* run = nullptr;
    HANDLE thread = nullptr;
    HANDLE release = nullptr;  // a stalled reader waits for it
    bool read_on = false;      // after the release: read the rest, or close

    static DWORD WINAPI main(void* raw) {
        static_cast<OutputReader*>(raw)->read();
        return 0;
    }

    // At the stall point: false when the reader is to close the pipe now.
    bool resume() {
        if (!release) return false;
        WaitForSingleObject(release, INFINITE);
        close_after = 0;
        return read_on;
    }

    void read() {
        ExpectedStream expected(*scenario, UINT64_MAX);
        std::string chunk, expected_chunk;
        std::uint64_t chunks = 0, end_position = 0;
        std::vector<char> buffer(65536);
        for (;;) {
            DWORD want = static_cast<DWORD>(buffer.size());
            if (close_after) want = static_cast<DWORD>(std::min<std::uint64_t>(want, close_after - run->out_bytes));
            DWORD got = 0;
            if (want == 0 && resume()) continue;
            if (want == 0 || !ReadFile(pipe, buffer.data(), want, &got, nullptr) || got == 0) break;
            const std::int64_t now = now_ticks();
            if (run->out_bytes == 0) run->first_byte_ticks = now;
            run->last_byte_ticks = now;
            run->out_bytes += got;
            if (keep) run->out.append(buffer.data(), got);
            for (DWORD i = 0; i < got;) {
                const std::size_t take = std::min<std::size_t>(CHUNK_BYTES - chunk.size(), got - i);
                chunk.append(buffer.data() + i, take);
                i += static_cast<DWORD>(take);
                if (chunk.size() < CHUNK_BYTES) break;
                run->chunk_arrival.push_back(now);
                if (!expected.next_chunk(expected_chunk, end_position) || expected_chunk != chunk) {
                    if (!run->first_wrong_chunk) run->first_wrong_chunk = chunks;
                }
                ++chunks;
                g_shared->translator_position.store(end_position, std::memory_order_release);
                chunk.clear();
            }
        }
        if (!chunk.empty() && !run->first_wrong_chunk) run->first_wrong_chunk = chunks;
        CloseHandle(pipe);
    }
};

// Reads the host's standard error as it comes, so a test can wait for a line.
struct ErrorReader {
    HANDLE pipe = nullptr;
    std::string text;
    HANDLE thread = nullptr;
    static inline SRWLOCK lock = SRWLOCK_INIT;  // one host runs at a time

    static DWORD WINAPI main(void* raw) {
        auto* reader = static_cast<ErrorReader*>(raw);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            AcquireSRWLockExclusive(&lock);
            reader->text.append(buffer, got);
            ReleaseSRWLockExclusive(&lock);
        }
        CloseHandle(reader->pipe);
        return 0;
    }
    std::string so_far() {
        AcquireSRWLockShared(&lock);
        std::string copy = text;
        ReleaseSRWLockShared(&lock);
        return copy;
    }
};

ErrorReader* g_error_reader = nullptr;  // the running host's

// Waits until the running host has written a whole diagnostic line whose counters satisfy
// `done`, or `limit_s` seconds have passed; true when it came.
bool wait_for_diagnostic(const std::function<bool(const Counters&)>& done, double limit_s) {
    const std::int64_t started = now_ticks();
    std::size_t seen = 0;  // bytes of whole lines already looked at
    do {
        const std::string err = g_error_reader->so_far();
        for (std::size_t end; (end = err.find('\n', seen)) != std::string::npos; seen = end + 1) {
            const std::optional<Counters> counters = counters_of(err.substr(seen, end - seen));
            if (counters && done(*counters)) return true;
        }
        Sleep(20);
    } while (seconds_between(started, now_ticks()) < limit_s);
    return false;
}

HostRun run_host(const RunOptions& options) {
    HostRun run;
    const std::wstring scenario_path = g_folder + L"scenario.txt";
    const std::wstring record_path = g_folder + L"record.txt";
    write_file(scenario_path, options.scenario);
    DeleteFileW(record_path.c_str());
    std::memset(static_cast<void*>(g_shared), 0, sizeof(SharedBlock));
    std::string parse_error;
    const std::optional<Scenario> scenario = parse_scenario(options.scenario, parse_error);
    if (!scenario) {
        ADD_FAILURE() << parse_error;
        return run;
    }

    ScopedVariable scenario_variable(SCENARIO_VARIABLE, scenario_path.c_str());
    ScopedVariable record_variable(RECORD_VARIABLE, record_path.c_str());
    std::optional<ScopedVariable> diagnostics;
    if (options.diagnostics) diagnostics.emplace(L"TAMSEL_AUDIO_DIAGNOSTICS", L"");

    tamsel::test_support::ChildOptions child_options;
    child_options.input = tamsel::test_support::ChildInput::open_pipe;
    Child child;
    DWORD error = 0;
    if (options.launch == Launch::direct) {
        run.translator_pid = GetCurrentProcessId();
        std::vector<std::wstring> args = options.args;
        for (std::wstring& a : args) {
            if (a == L"{relay}") a = std::to_wstring(GetCurrentProcessId());
        }
        // Wine's CreateProcessW now and then fails with ERROR_INTERNAL_ERROR on a loaded machine;
        // that is not what is under test, so a start is tried a few times.
        for (int attempt = 0; attempt < 3 && !child.started(); ++attempt) {
            if (attempt > 0) Sleep(200);
            child = Child::start(g_host, args, &error, child_options);
        }
    } else {
        const wchar_t* mode = options.launch == Launch::relay_exit ? L"exit" : L"console";
        std::vector<std::wstring> args = {L"--relay", mode, std::to_wstring(GetCurrentProcessId()), g_host};
        args.insert(args.end(), options.args.begin(), options.args.end());
        child_options.own_console = options.launch == Launch::relay_console;
        for (int attempt = 0; attempt < 3 && !child.started(); ++attempt) {
            if (attempt > 0) Sleep(200);
            child = Child::start(tamsel::test_support::own_program(), args, &error, child_options);
        }
        run.translator_pid = child.pid();
    }
    if (!child.started()) {
        ADD_FAILURE() << "starting failed: " << error;
        return run;
    }

    OutputReader reader{child.take_stdout(), &*scenario, options.close_stdout_after, options.keep_output, &run, nullptr};
    if (options.stall_stdout) {
        reader.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        reader.read_on = !options.close_on_go;
    }
    reader.thread = CreateThread(nullptr, 0, &OutputReader::main, &reader, 0, nullptr);
    // Standard error is read all along too: a full pipe would stall the host's diagnostic lines.
    ErrorReader error_reader{child.take_stderr(), {}, nullptr};
    error_reader.thread = CreateThread(nullptr, 0, &ErrorReader::main, &error_reader, 0, nullptr);
    g_error_reader = &error_reader;

    // The host's process handle: ours, or the one the relay duplicated into this process.
    HANDLE host = child.process();
    if (options.launch != Launch::direct) {
        // Within a minute (an emulated Wine starts programs slowly), unless the relay gave up.
        for (int i = 0; i < 6000 && g_shared->host_handle.load() == 0; ++i) {
            if (WaitForSingleObject(child.process(), 10) == WAIT_OBJECT_0) break;
        }
        host = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(g_shared->host_handle.load()));
        if (!host) ADD_FAILURE() << "the relay did not hand over the host";
    }
    if (options.during && host) {
        options.during(host);
    } else if (host) {
        // The end of the script: the engine position after its last whole chunk.
        std::uint64_t last_end = 0;
        {
            ExpectedStream stream(*scenario, UINT64_MAX);
            std::string chunk;
            for (std::uint64_t end = 0; stream.next_chunk(chunk, end);) last_end = end;
        }
        const std::int64_t waiting = now_ticks();
        while (WaitForSingleObject(host, 20) == WAIT_TIMEOUT &&
               g_shared->translator_position.load(std::memory_order_acquire) < last_end &&
               seconds_between(waiting, now_ticks()) < options.timeout_ms / 1000.0) {
        }
        if (options.until_counters) {
            EXPECT_TRUE(wait_for_diagnostic(options.until_counters, options.timeout_ms / 1000.0))
                << "no diagnostic line with the counts awaited";
        } else {
            Sleep(options.idle_ms);
        }
    }
    g_shared->go.store(1, std::memory_order_release);
    if (reader.release && options.close_on_go) SetEvent(reader.release);

    // The host's end, timed here.
    if (host) {
        run.finished = WaitForSingleObject(host, options.timeout_ms) == WAIT_OBJECT_0;
        run.exit_ticks = now_ticks();
        if (!run.finished) TerminateProcess(host, 99);
        WaitForSingleObject(host, 10000);
        GetExitCodeProcess(host, &run.exit_code);
    }
    if (reader.release) SetEvent(reader.release);
    (void)child.finish(options.timeout_ms);  // waits for the child (the relay, or the host)
    if (host && options.launch != Launch::direct) CloseHandle(host);
    if (WaitForSingleObject(reader.thread, 10000) != WAIT_OBJECT_0) ADD_FAILURE() << "standard output never ended";
    CloseHandle(reader.thread);
    if (reader.release) CloseHandle(reader.release);
    if (WaitForSingleObject(error_reader.thread, 10000) != WAIT_OBJECT_0) ADD_FAILURE() << "standard error never ended";
    CloseHandle(error_reader.thread);
    g_error_reader = nullptr;
    run.err = error_reader.text;
    run.record = read_lines(record_path);
    return run;
}

// ---- What the host must have done ----------------------------------------------------------

// What the run ended with, for the test log: exit code, bytes on standard output, standard error.
void report(const char* name, const HostRun& run) {
    std::string err;
    for (const char c : run.err) err += c == '\n' ? std::string("\\n") : std::string(1, c);
    std::printf("[%s] exit %lu, %llu bytes (%llu chunks), stderr: %s\n", name, run.exit_code,
                static_cast<unsigned long long>(run.out_bytes), static_cast<unsigned long long>(run.out_bytes / CHUNK_BYTES),
                err.c_str());
}

std::string activate_line(DWORD pid, int mode) {
    return "activate path=VAD\\Process_Loopback iid=IAudioClient vt=65 size=12 type=1 pid=" + std::to_string(pid) +
           " mode=" + std::to_string(mode) + " handler=agile";
}

// The record of a stream that was set up, started and stopped.
std::vector<std::string> streamed_record(DWORD pid, int mode) {
    return {activate_line(pid, mode),
            "completing on engine thread",
            INITIALIZE_LINE,
            "GetBufferSize",
            "GetService IAudioCaptureClient",
            "SetEventHandle event",
            "Start",
            "Stop",
            AT_EXIT_CLEAN};
}

// Inserts a line before the closing Stop (a scripted packet-call failure).
std::vector<std::string> with_failure(std::vector<std::string> record, const std::string& line) {
    record.insert(record.end() - 2, line);
    return record;
}

// Standard output holds exactly the first `chunks` chunks of the script.
void expect_chunks(const HostRun& run, const Scenario& scenario, std::uint64_t packets, std::size_t chunks) {
    const std::string expected = ExpectedStream(scenario, packets).all();
    ASSERT_GE(expected.size(), chunks * CHUNK_BYTES) << "the script has fewer chunks";
    EXPECT_EQ(run.out.size(), chunks * CHUNK_BYTES);
    EXPECT_FALSE(run.first_wrong_chunk.has_value()) << "chunk " << run.first_wrong_chunk.value_or(0) << " differs";
    EXPECT_TRUE(run.out == expected.substr(0, chunks * CHUNK_BYTES)) << "standard output differs from the script";
}

std::size_t chunks_of(const Scenario& scenario, std::uint64_t packets) {
    return ExpectedStream(scenario, packets).all().size() / CHUNK_BYTES;
}

Scenario parsed(const std::string& text) {
    std::string error;
    std::optional<Scenario> s = parse_scenario(text, error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(Scenario{});
}

const std::vector<std::wstring> SYSTEM = {L"--target", L"system", L"--exclude-pids", L"{relay}"};

// ---- Activation outcomes and stream set-up ----------------------------------------------

struct RefusalCase {
    const char* name;
    std::string scenario;
    std::string message;                   // the error event's message
    bool format_first;                     // the format event precedes the error
    std::vector<std::string> record_tail;  // after the activate line
    bool waits = false;                    // the host waits its full 10 s for the completion
};

TEST(HostEndToEnd, EveryActivationOutcomeAndSetUpFailureEndsWithItsError) {
    const std::vector<std::string> set_up = {"completing on engine thread", INITIALIZE_LINE, "GetBufferSize",
                                             "GetService IAudioCaptureClient", "SetEventHandle event"};
    const auto upto = [&](std::size_t n, std::vector<std::string> tail) {
        std::vector<std::string> lines(set_up.begin(), set_up.begin() + static_cast<std::ptrdiff_t>(n));
        lines.insert(lines.end(), tail.begin(), tail.end());
        return lines;
    };
    const std::vector<RefusalCase> cases = {
        {"ActivateAudioInterfaceAsync fails", "activation refuse hr=0x80070005\n",
         "activate process loopback: test engine: ActivateAudioInterfaceAsync failed (0x80070005)", false, {AT_EXIT_CLEAN}},
        {"no operation object", "activation no-operation\n", "activate process loopback: " + system_text(0x80004003),
         false, {"never completed; handler references besides the engine's=0", AT_EXIT_CLEAN}},
        {"activation refused", "activation complete hr=0x80070005\n",
         "process-loopback activation (requires supported Windows build): " + system_text(0x80070005), false,
         {"completing on engine thread", AT_EXIT_CLEAN}},
        {"refused late", "activation complete delay=300 hr=0x88890004\n",
         "process-loopback activation (requires supported Windows build): " + system_text(0x88890004), false,
         {"completing on engine thread", AT_EXIT_CLEAN}},
        {"completion without operation", "activation no-operation-callback\n", "activation operation missing", false,
         {"completing on engine thread", AT_EXIT_CLEAN}},
        {"no interface", "activation complete interface=none\n", "activated interface missing", false,
         {"completing on engine thread", AT_EXIT_CLEAN}},
        {"not an audio client", "activation complete interface=other\n", "audio client: " + system_text(0x80004002),
         false, {"completing on engine thread", AT_EXIT_CLEAN}},
        {"Initialize fails", "fail Initialize hr=0x88890008\n",
         "initialize float32 process capture: test engine: Initialize failed (0x88890008)", false,
         upto(2, {"failed Initialize", AT_EXIT_CLEAN})},
        {"GetBufferSize fails", "fail GetBufferSize hr=0x88890001\n",
         "capture buffer size: test engine: GetBufferSize failed (0x88890001)", false,
         upto(3, {"failed GetBufferSize", AT_EXIT_CLEAN})},
        {"GetService fails", "fail GetService hr=0x80004002\n",
         "capture service: test engine: GetService failed (0x80004002)", false,
         upto(4, {"failed GetService", AT_EXIT_CLEAN})},
        {"SetEventHandle fails", "fail SetEventHandle hr=0x80070006 noinfo\n",
         "set capture event: " + system_text(0x80070006), false, upto(5, {"failed SetEventHandle", AT_EXIT_CLEAN})},
        {"Start fails", "fail Start hr=0x88890004\npackets 10 480\n",
         "start process capture: test engine: Start failed (0x88890004)", true,
         upto(5, {"Start", "failed Start", "Stop", AT_EXIT_CLEAN})},
        // The completion never comes, or comes only after the wait gave up (here: while the
        // process ends; the handler drops it without a crash and everything is still let go).
        {"never completed", "activation never\n", "process-loopback activation timed out", false,
         {"never completed; handler references besides the engine's=0", AT_EXIT_CLEAN}, true},
        {"completed late", "activation late\n", "process-loopback activation timed out", false,
         {"completing at process end", "late completion left handler references=0", AT_EXIT_CLEAN}, true},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions options;
        options.scenario = c.scenario;
        options.args = SYSTEM;
        const HostRun run = run_host(options);
        report(c.name, run);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.err, (c.format_first ? FORMAT_LINE : std::string()) + error_line(c.message));
        EXPECT_EQ(run.out, "");
        std::vector<std::string> record = {activate_line(run.translator_pid, 1)};
        record.insert(record.end(), c.record_tail.begin(), c.record_tail.end());
        EXPECT_EQ(run.record, record);
        if (c.waits) {
            // From the activation call to the host's end.
            const double waited = seconds_between(g_shared->activated_at.load(), run.exit_ticks);
            std::printf("activation %s: the host ended %.3f s after the activation call\n", c.name, waited);
            EXPECT_GE(waited, 10.0) << "the host gave up before its 10 s";
        }
    }
}

// ---- Stop causes while streaming ----------------------------------------------------------

// Half a second of audio (25 chunks), then an idle stream until the stop.
const std::string HALF_SECOND = "packets 50 480\n";

// The three normal ends: no error event, exit code 0, the stream as far as it went.
TEST(HostEndToEnd, NormalEndsLeaveOnlyTheFormatLine) {
    struct Case {
        const char* name;
        Launch launch;
        std::string scenario;
        std::size_t close_after_chunks;  // 0: read to the end
        std::size_t chunks;
    };
    const std::vector<Case> cases = {
        {"console stop", Launch::relay_console, HALF_SECOND, 0, 25},
        {"translator exit", Launch::relay_exit, HALF_SECOND, 0, 25},
        // 4 s of audio: the host is still writing when the reader goes away.
        {"reader closes standard output", Launch::direct, "packets 400 480\n", 10, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions options;
        options.scenario = c.scenario;
        options.args = SYSTEM;
        options.launch = c.launch;
        options.close_stdout_after = c.close_after_chunks * CHUNK_BYTES;
        const HostRun run = run_host(options);
        report(c.name, run);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(run.err, FORMAT_LINE);
        expect_chunks(run, parsed(options.scenario), UINT64_MAX, c.chunks);
        // System capture: the translator's pid, its tree excluded.
        EXPECT_EQ(run.record, streamed_record(run.translator_pid, 1));
    }
}

// A process outside the translator's tree (its parent has ended), and its identity arguments.
struct Target {
    DWORD pid = 0;
    std::wstring exe;
    std::uint64_t start = 0;
};

std::optional<Target> orphan_sleeper() {
    Child maker = Child::start(tamsel::test_support::own_program(), {L"--orphan"});
    const Child::Output made = maker.finish(10000);
    if (!made.finished || made.exit_code == 0) return std::nullopt;
    Target target;
    target.pid = made.exit_code;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, target.pid);
    if (!process) return std::nullopt;
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    const bool named = QueryFullProcessImageNameW(process, 0, path.data(), &size);
    target.start = tamsel::test_support::creation_time(process);
    CloseHandle(process);
    if (!named) return std::nullopt;
    path.resize(size);
    target.exe = path;
    return target;
}

std::vector<std::wstring> process_target(const Target& target) {
    return {L"--target", L"pid:" + std::to_wstring(target.pid), L"--exclude-pids", L"{relay}", L"--expected-exe",
            target.exe, L"--expected-start", std::to_wstring(target.start)};
}

TEST(HostEndToEnd, TargetExitIsAnError) {
    g_shared->go.store(0);  // the target lives until the whole script has arrived
    const std::optional<Target> target = orphan_sleeper();
    ASSERT_TRUE(target.has_value());
    RunOptions options;
    options.scenario = HALF_SECOND;
    options.args = process_target(*target);
    const HostRun run = run_host(options);
    report("TargetExitIsAnError", run);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.err, FORMAT_LINE + error_line("selected process exited"));
    expect_chunks(run, parsed(options.scenario), UINT64_MAX, 25);
    // A process target: its pid, its tree included.
    EXPECT_EQ(run.record, streamed_record(target->pid, 0));
}

// A capture call fails, or the engine hands over a packet the host must refuse. The failing
// packet comes after a pause, so every chunk completed before it has been written.
struct PacketFailureCase {
    const char* name;
    std::string failure;       // script lines
    std::uint64_t delivered;   // packets whose samples reach the worker
    std::string message;
    std::string record_line;   // what the engine noted, if anything
};

TEST(HostEndToEnd, FailingCaptureCallsEndWithTheirError) {
    // 31 packets: 15 chunks and 480 frames pending; the packets after the pause complete no
    // chunk, so what was written before the failure is all there is.
    const std::string before = "packets 31 480\npause 400\n";
    const std::vector<PacketFailureCase> cases = {
        {"GetNextPacketSize", "fail GetNextPacketSize at=31 hr=0x88890004\npackets 10 240\n", 31,
         "next capture packet: test engine: GetNextPacketSize failed (0x88890004)", "failed GetNextPacketSize at=31"},
        {"GetBuffer", "fail GetBuffer at=31 hr=0x88890004\npackets 10 240\n", 31,
         "read capture packet: test engine: GetBuffer failed (0x88890004)", "failed GetBuffer at=31"},
        {"GetBuffer without description", "fail GetBuffer at=31 hr=0x8007000E noinfo\npackets 10 240\n", 31,
         "read capture packet: " + system_text(0x8007000E), "failed GetBuffer at=31"},
        // The failing release comes after the packet's samples were pushed.
        {"ReleaseBuffer", "fail ReleaseBuffer at=31 hr=0x88890004\npackets 10 240\n", 32,
         "release capture packet: test engine: ReleaseBuffer failed (0x88890004)", "failed ReleaseBuffer at=31"},
        {"packet longer than the buffer", "packets 1 1057\npackets 10 240\n", 31,
         "capture packet exceeded negotiated buffer", ""},
        {"misaligned packet", "packets 1 480 misaligned\npackets 10 240\n", 31, "invalid float capture buffer", ""},
    };
    for (const PacketFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions options;
        options.scenario = before + c.failure;
        options.args = SYSTEM;
        const HostRun run = run_host(options);
        report(c.name, run);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_EQ(run.err, FORMAT_LINE + error_line(c.message));
        const Scenario scenario = parsed(options.scenario);
        expect_chunks(run, scenario, c.delivered, chunks_of(scenario, c.delivered));
        std::vector<std::string> record = streamed_record(run.translator_pid, 1);
        if (!std::string(c.record_line).empty()) record = with_failure(record, c.record_line);
        EXPECT_EQ(run.record, record);
    }
}

// ---- Every stop ends the host, whatever the reader does ----------------------------------

// Standard error without the TAMSEL_CAPTURE lines (frames dropped while the reader stalled may
// show in one).
std::string event_lines(const std::string& err) {
    std::string events;
    for (const std::string& line : split_lines(err)) {
        if (line.rfind("TAMSEL_CAPTURE ", 0) != 0) events += line + "\n";
    }
    return events;
}

// The translator stops reading standard output after 10 chunks and keeps the pipe open; the
// host's writer blocks on the full pipe while the engine goes on at real-time pace. Then each
// stop: the host ends within a second of it with its usual exit code and events, and what it
// wrote is the script's stream up to where it stopped (a write cut short ends the stream).
TEST(HostEndToEnd, EveryStopEndsTheHostWhenTheReaderStoppedReading) {
    // 10 s of audio; the translator stops reading after 10 chunks (0.2 s).
    const std::string ten_seconds = "packets 1000 480\n";
    const std::size_t stall_chunks = 10;
    struct Case {
        const char* name;
        Launch launch;
        bool target;        // a process target, which exits at go
        bool close_on_go;   // the translator closes standard output at go
        std::string failure;  // script line: the engine fails this call at packet 250 (2.5 s)
        DWORD exit_code;
        std::string error;  // the error event's message, if any
    };
    const std::vector<Case> cases = {
        {"console stop", Launch::relay_console, false, false, "", 0, ""},
        {"translator exit", Launch::relay_exit, false, false, "", 0, ""},
        {"target exit", Launch::direct, true, false, "", 1, "selected process exited"},
        {"standard output closed", Launch::direct, false, true, "", 0, ""},
        {"capture call fails", Launch::direct, false, false, "fail GetBuffer at=250 hr=0x88890004\n", 1,
         "read capture packet: test engine: GetBuffer failed (0x88890004)"},
    };
    // The bound holds under emulated arm64 Wine too (measured there: at most 0.25 s).
    const double bound = 1.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_shared->go.store(0);
        std::optional<Target> target;
        if (c.target) {
            target = orphan_sleeper();
            ASSERT_TRUE(target.has_value());
        }
        RunOptions options;
        options.scenario = c.failure + ten_seconds;
        options.args = target ? process_target(*target) : SYSTEM;
        options.launch = c.launch;
        options.close_stdout_after = stall_chunks * CHUNK_BYTES;
        options.stall_stdout = true;
        options.close_on_go = c.close_on_go;
        options.timeout_ms = 8000;  // a hang shows as a host that is still running then
        std::int64_t stop_ticks = 0;
        options.during = [&](HANDLE host) {
            if (!c.failure.empty()) {
                // The engine's failure is the stop: when the failing packet became ready.
                WaitForSingleObject(host, 8000);
                stop_ticks = g_shared->ready_time[250];
                return;
            }
            // A second of audio more than the translator took: the queue and the pipe are full
            // and the writer is blocked.
            const std::uint64_t stalled_frames = stall_chunks * CHUNK_FRAMES + RATE;
            while (WaitForSingleObject(host, 20) == WAIT_TIMEOUT &&
                   g_shared->packets_ready.load(std::memory_order_acquire) * 480 < stalled_frames) {
            }
            stop_ticks = now_ticks();
        };
        const HostRun run = run_host(options);
        report(c.name, run);
        const double took = seconds_between(stop_ticks, run.exit_ticks);
        std::printf("stop with a stalled reader, %s: the host ended %.3f s after the stop\n", c.name, took);
        EXPECT_TRUE(run.finished) << "the host did not end";
        EXPECT_LT(took, bound);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(event_lines(run.err), FORMAT_LINE + (c.error.empty() ? std::string() : error_line(c.error)));
        const std::string expected = ExpectedStream(parsed(options.scenario), UINT64_MAX).all();
        EXPECT_GE(run.out.size(), stall_chunks * CHUNK_BYTES);
        EXPECT_TRUE(expected.compare(0, run.out.size(), run.out) == 0)
            << "standard output is not the script's stream up to where the host stopped";
    }
}

// ---- The audio itself, and the diagnostic line --------------------------------------------

// Silent packets (whose buffer holds NaNs the host must not read), discontinuities that cut
// pending audio, a packet of 0 frames carrying a discontinuity, and packet sizes that do not
// divide a chunk. With TAMSEL_AUDIO_DIAGNOSTICS set, the counters line appears at most once a
// second and ends with exactly the script's numbers.
TEST(HostEndToEnd, SilenceDiscontinuitiesAndDiagnostics) {
    RunOptions options;
    options.scenario =
        "packets 3 480 discontinuity\n"
        "packets 7 480\n"
        "packets 2 700 silent\n"
        "packets 1 0 discontinuity\n"
        "packets 5 333\n"
        "packets 4 480 silent discontinuity\n"
        "packets 20 512\n"
        "packets 1 441 discontinuity\n"
        "packets 60 1000\n"
        "packets 1 1056 silent\n"
        "packets 30 480\n";
    options.args = SYSTEM;
    options.launch = Launch::relay_exit;
    options.diagnostics = true;
    const Scenario scenario = parsed(options.scenario);
    std::uint64_t flagged = 0;
    for (const PacketRun& r : scenario.runs) flagged += (r.flags & FLAG_DISCONTINUITY) != 0 ? r.count : 0;
    // After the whole script, until a diagnostic line counts every frame of it.
    options.until_counters = [&](const Counters& c) { return c.accepted + c.dropped == scenario.total_frames(); };
    const std::int64_t started = now_ticks();
    const HostRun run = run_host(options);
    report("SilenceDiscontinuitiesAndDiagnostics", run);
    const double lived = seconds_between(started, run.exit_ticks);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    expect_chunks(run, scenario, UINT64_MAX, chunks_of(scenario, UINT64_MAX));
    EXPECT_EQ(run.record, streamed_record(run.translator_pid, 1));

    const std::vector<std::string> lines = split_lines(run.err);
    ASSERT_GE(lines.size(), 2u) << run.err;
    EXPECT_EQ(lines[0] + "\n", FORMAT_LINE);
    Counters last;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::optional<Counters> counters = counters_of(lines[i]);
        ASSERT_TRUE(counters.has_value()) << lines[i];
        EXPECT_EQ(counters->dropped, 0u);
        EXPECT_GE(counters->accepted, last.accepted);
        EXPECT_GE(counters->discontinuities, last.discontinuities);
        last = *counters;
    }
    // The relay ended after the line with the final counts.
    EXPECT_EQ(last.accepted, scenario.total_frames());
    EXPECT_EQ(last.discontinuities, flagged);
    // At most one line a second while the worker ran (it ran less than the host lived).
    EXPECT_LE(static_cast<double>(lines.size() - 1), lived) << run.err;
    std::printf("diagnostic lines: %zu in %.1f s\n", lines.size() - 1, lived);
}

// ---- Volume and latency (their own CTest entries) ------------------------------------------

struct Sample {
    double packets = 0;  // packets the engine had made ready when the sample was taken
    DWORD handles = 0;
    SIZE_T pagefile = 0;
    SIZE_T working_set = 0;
};

// The least-squares slope of `value` against packets over `samples`.
double slope(const std::vector<Sample>& samples, double (*value)(const Sample&)) {
    double mean_x = 0, mean_y = 0;
    for (const Sample& s : samples) {
        mean_x += s.packets;
        mean_y += value(s);
    }
    mean_x /= static_cast<double>(samples.size());
    mean_y /= static_cast<double>(samples.size());
    double xy = 0, xx = 0;
    for (const Sample& s : samples) {
        xy += (s.packets - mean_x) * (value(s) - mean_y);
        xx += (s.packets - mean_x) * (s.packets - mean_x);
    }
    return xx > 0 ? xy / xx : 0;
}

// The handles a process holds, counted in the system's handle table. (Wine answers
// GetProcessHandleCount for another process with 0, but lists every process's handles here.)
DWORD handle_count(DWORD pid) {
    struct Entry {
        ULONG owner;
        BYTE type;
        BYTE flags;
        USHORT value;
        void* object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    constexpr ULONG SYSTEM_HANDLE_INFORMATION = 16;
    constexpr LONG INFO_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(SYSTEM_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == INFO_LENGTH_MISMATCH) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) return 0;
        break;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].owner == pid ? 1 : 0;
    return count;
}

// A volume test: ten minutes (--audio-seconds) of audio in blocks of every packet kind, paced by
// how fast the translator receives it (about 60x real time under Wine). Every byte is compared;
// accepted + dropped frames account for every frame. The host's handles and memory are sampled
// at fixed points of the audio (not of the wall clock), so a faster machine takes the same
// samples; their growth is fitted against the packets delivered and must stay under a few bytes
// per packet, far below any leak of one allocation per packet.
TEST(Volume, TenMinutesOfAudioAsFastAsTheHostTakesIt) {
    std::string script = "buffer 1056\npace fast 8192\n";
    const std::string block =
        "packets 96 480\npackets 2 700 silent\npackets 6 441\npackets 1 0 discontinuity\npackets 8 1000\n"
        "packets 1 512 discontinuity\npackets 3 1056 silent\n";
    std::uint64_t blocks = 0;
    {
        const Scenario one = parsed(block);
        blocks = (g_audio_seconds * RATE + one.total_frames() - 1) / one.total_frames();
    }
    for (std::uint64_t i = 0; i < blocks; ++i) script += block;
    const Scenario scenario = parsed(script);
    const std::uint64_t total = scenario.total_frames();
    const std::uint64_t packets = scenario.packet_count();
    const std::uint64_t expected_chunks = chunks_of(scenario, UINT64_MAX);

    // One sample at each of these points of the audio. Only while audio flows: once the last
    // packet is ready the engine's pacing thread in the host ends, which shows as one step (not
    // growth) in its memory.
    constexpr std::size_t POINTS = 40;
    std::vector<Sample> samples;
    RunOptions options;
    options.scenario = script;
    options.args = SYSTEM;
    options.launch = Launch::relay_exit;
    options.diagnostics = true;
    options.keep_output = false;
    options.timeout_ms = 600000;
    options.during = [&](HANDLE host) {
        std::uint64_t last_position = 0;
        std::int64_t last_progress = now_ticks();
        while (WaitForSingleObject(host, 5) == WAIT_TIMEOUT) {
            const std::uint64_t ready = g_shared->packets_ready.load();
            if (ready < packets && ready * POINTS >= (samples.size() + 1) * packets) {
                Sample s;
                s.handles = handle_count(GetProcessId(host));
                PROCESS_MEMORY_COUNTERS memory{};
                memory.cb = sizeof memory;
                if (GetProcessMemoryInfo(host, &memory, sizeof memory)) {
                    s.pagefile = memory.PagefileUsage;
                    s.working_set = memory.WorkingSetSize;
                }
                // Read after the figures, so a kept sample was taken while the pacer still ran.
                s.packets = static_cast<double>(g_shared->packets_ready.load());
                if (s.packets < static_cast<double>(packets)) samples.push_back(s);
            }
            const std::uint64_t position = g_shared->translator_position.load();
            if (position != last_position) last_progress = now_ticks();
            last_position = position;
            // Give up on a host that stopped taking audio (the checks below then fail).
            if (seconds_between(last_progress, now_ticks()) > 30) return;
            if (ready == packets && position + CHUNK_FRAMES * 2 >= total) break;
        }
        // The rest of the output, then the diagnostic line that counts every frame.
        EXPECT_TRUE(wait_for_diagnostic([&](const Counters& c) { return c.accepted + c.dropped == total; }, 60))
            << "no diagnostic line counts every frame";
    };
    const HostRun run = run_host(options);
    report("TenMinutesOfAudioAsFastAsTheHostTakesIt", run);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_FALSE(run.first_wrong_chunk.has_value()) << "chunk " << run.first_wrong_chunk.value_or(0) << " differs";
    EXPECT_EQ(run.out_bytes, expected_chunks * CHUNK_BYTES);

    const std::vector<std::string> lines = split_lines(run.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0] + "\n", FORMAT_LINE);
    const std::optional<Counters> last = counters_of(lines.back());
    ASSERT_TRUE(last.has_value()) << lines.back();
    EXPECT_EQ(last->accepted + last->dropped, total) << "every frame accepted or dropped";
    EXPECT_EQ(last->dropped, 0u) << "the pace never runs ahead of the queue";
    EXPECT_EQ(last->discontinuities, 2 * blocks);

    const double audio_seconds = static_cast<double>(total) / RATE;
    const double wall = seconds_between(run.first_byte_ticks, run.last_byte_ticks);
    std::printf("volume: %.1f s of audio (%llu frames, %llu packets, %llu chunks) in %.1f s: %.1fx real time\n",
                audio_seconds, static_cast<unsigned long long>(total), static_cast<unsigned long long>(packets),
                static_cast<unsigned long long>(expected_chunks), wall, audio_seconds / wall);
    ::testing::Test::RecordProperty("volume_speed_x", static_cast<int>(audio_seconds / wall));

    // Growth against packets, after a warm-up of the first quarter of the audio. A sample point
    // the host raced past is simply not taken; a run with too few left proves nothing.
    const std::vector<Sample> settled(samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 4), samples.end());
    ASSERT_GE(settled.size(), POINTS / 4) << "the host outran the sampling: " << samples.size() << " samples";
    ASSERT_GT(settled.front().handles, 0u) << "no handle count to compare";
    ASSERT_GT(settled.front().pagefile, 0u) << "no memory figure to compare";
    const double handles_per_packet = slope(settled, [](const Sample& x) { return static_cast<double>(x.handles); });
    const double committed_per_packet = slope(settled, [](const Sample& x) { return static_cast<double>(x.pagefile); });
    const double working_set_per_packet =
        slope(settled, [](const Sample& x) { return static_cast<double>(x.working_set); });
    const double span = settled.back().packets - settled.front().packets;
    std::printf("volume: %zu samples over %.0f packets; per packet: %.5f handles, %.2f committed bytes, %.2f "
                "working-set bytes\n",
                settled.size(), span, handles_per_packet, committed_per_packet, working_set_per_packet);
    if (std::getenv("TAMSEL_VOLUME_SAMPLES")) {
        for (const Sample& x : samples) {
            std::printf("sample at packet %.0f: handles %lu, committed %zu, working set %zu\n", x.packets, x.handles,
                        static_cast<std::size_t>(x.pagefile), static_cast<std::size_t>(x.working_set));
        }
    }
    // Fewer handles than Wine's own that come and go, and a few bytes per packet, over the
    // ~40000 packets fitted. The engine itself touches 8 bytes of shared memory in the host per
    // packet (its record of when each packet became ready), which the working set shows.
    EXPECT_LT(handles_per_packet * span, 8.0) << "handle count grows";
    EXPECT_LT(committed_per_packet, 4.0) << "committed memory grows";
    EXPECT_LT(working_set_per_packet - static_cast<double>(sizeof(std::int64_t)), 4.0) << "working set grows";
}

// A benchmark (CTest tamsel_host_latency_bench, label benchmark): at real-time pace, from the
// engine making the packet that completes a chunk ready to that chunk's last byte at the
// translator. The figures are printed, not asserted: on a loaded machine the p50 alone passes
// 7 ms (x64 Wine, two busy cores), what a 15.6 ms timer tick would give on a quiet one.
TEST(Latency, AtRealTimePace) {
    RunOptions options;
    options.scenario = "packets 2100 480\n";  // 21 s: 1050 chunks, each completed by an odd packet
    options.args = SYSTEM;
    options.launch = Launch::relay_exit;
    options.keep_output = false;
    options.during = [&](HANDLE host) {
        const std::int64_t started = now_ticks();
        while (WaitForSingleObject(host, 200) == WAIT_TIMEOUT && seconds_between(started, now_ticks()) < 90) {
            if (g_shared->translator_position.load() >= 2100 * 480) break;
        }
    };
    const HostRun run = run_host(options);
    report("LatencyAtRealTimePace", run);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_FALSE(run.first_wrong_chunk.has_value());
    ASSERT_EQ(run.chunk_arrival.size(), 1050u);
    std::vector<double> latency;
    for (std::size_t k = 0; k < run.chunk_arrival.size(); ++k) {
        const std::int64_t ready = g_shared->ready_time[2 * k + 1];
        latency.push_back(seconds_between(ready, run.chunk_arrival[k]) * 1000.0);
    }
    std::sort(latency.begin(), latency.end());
    const double p50 = latency[latency.size() / 2];
    const double p99 = latency[latency.size() * 99 / 100];
    std::printf("latency over %zu chunks: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", latency.size(), p50, p99,
                latency.back());
    ::testing::Test::RecordProperty("latency_p50_us", static_cast<int>(p50 * 1000));
    ::testing::Test::RecordProperty("latency_p99_us", static_cast<int>(p99 * 1000));
}

// A benchmark (CTest tamsel_host_wakeups_bench, label benchmark), driven by
// helpers/audio-host/bench/wakeups.sh (WINE_BENCH), which samples the host's threads from /proc while
// each phase runs: the host at real-time pace with the engine's 10 ms packets, then with a
// silent target (the engine delivers no packets at all). Each phase is announced on standard
// output as it begins and ends; TAMSEL_WAKEUPS_SECONDS (default 10) sets its length.
TEST(Wakeups, PlayingThenSilent) {
    wchar_t value[32] = L"";
    const DWORD n = GetEnvironmentVariableW(L"TAMSEL_WAKEUPS_SECONDS", value, 32);
    const std::uint64_t seconds = n > 0 && n < 32 ? std::wcstoull(value, nullptr, 10) : 10;
    const std::uint64_t packets = (seconds + 2) * 100;  // a second on each side of the phase
    const auto announce = [](const char* what) {
        std::printf("wakeups: %s\n", what);
        std::fflush(stdout);
    };
    RunOptions options;
    options.scenario = "packets " + std::to_string(packets) + " 480\n";
    options.args = SYSTEM;
    options.launch = Launch::relay_exit;
    options.keep_output = false;
    options.timeout_ms = static_cast<DWORD>((2 * seconds + 30) * 1000);
    options.during = [&](HANDLE host) {
        const auto reached = [&](std::uint64_t frames) {
            while (g_shared->translator_position.load() < frames) {
                if (WaitForSingleObject(host, 20) != WAIT_TIMEOUT) return false;
            }
            return true;
        };
        if (!reached(100 * 480)) return;
        announce("playing begins");
        if (!reached((seconds + 1) * 100 * 480)) return;
        announce("playing ends");
        if (!reached(packets * 480)) return;
        Sleep(1000);  // the idle wait has grown to its ceiling by then
        announce("silent begins");
        Sleep(static_cast<DWORD>(seconds * 1000));
        announce("silent ends");
        Sleep(1000);  // the host still runs while its threads are sampled
    };
    const HostRun run = run_host(options);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_FALSE(run.first_wrong_chunk.has_value());
    EXPECT_EQ(run.out_bytes, packets * 480 / CHUNK_FRAMES * CHUNK_BYTES);
}

// ---- Helper processes --------------------------------------------------------------------

BOOL WINAPI ignore_control(DWORD) { return TRUE; }

SharedBlock* open_shared_block() {
    wchar_t name[256];
    const DWORD n = GetEnvironmentVariableW(SHARED_VARIABLE, name, 256);
    if (n == 0 || n >= 256) return nullptr;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (!mapping) return nullptr;
    return static_cast<SharedBlock*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedBlock)));
}

void wait_for_go(const SharedBlock& shared) {
    for (int i = 0; i < 6000 && shared.go.load(std::memory_order_acquire) == 0; ++i) Sleep(10);
}

int relay(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const std::wstring mode = argv[2];
    const DWORD translator = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    const std::wstring host = argv[4];
    std::vector<std::wstring> args;
    for (int i = 5; i < argc; ++i) {
        args.push_back(argv[i] == std::wstring(L"{relay}") ? std::to_wstring(GetCurrentProcessId()) : argv[i]);
    }
    if (mode == L"console") SetConsoleCtrlHandler(&ignore_control, TRUE);
    SharedBlock* shared = open_shared_block();
    if (!shared) return 3;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = tamsel::test_support::command_line(host, args);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(host.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        return 4;
    }
    CloseHandle(info.hThread);
    HANDLE test = OpenProcess(PROCESS_DUP_HANDLE, FALSE, translator);
    HANDLE copy = nullptr;
    if (!test || !DuplicateHandle(GetCurrentProcess(), info.hProcess, test, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return 5;
    }
    shared->host_pid.store(info.dwProcessId);
    shared->host_handle.store(reinterpret_cast<std::uintptr_t>(copy));
    wait_for_go(*shared);
    if (mode == L"console") {
        // Ctrl+C to every process of this console: the host, and us (we ignore it).
        if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 6;
        WaitForSingleObject(info.hProcess, 30000);
    }
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc >= 2 && std::wstring(argv[1]) == L"--sleep") {
        SharedBlock* shared = open_shared_block();
        if (!shared) return 3;
        wait_for_go(*shared);
        return 0;
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"--orphan") {
        Child sleeper = Child::start(tamsel::test_support::own_program(), {L"--sleep"});
        const DWORD pid = sleeper.pid();
        sleeper.detach();
        return static_cast<int>(pid);
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"--relay") return relay(argc, argv);

    std::vector<std::string> utf8;
    for (int i = 0; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.rfind(L"--audio-seconds=", 0) == 0) {
            g_audio_seconds = std::wcstoull(arg.c_str() + 16, nullptr, 10);
            continue;
        }
        utf8.push_back(tamsel::wide_to_utf8(arg));
    }
    std::vector<char*> pointers;
    for (std::string& s : utf8) pointers.push_back(s.data());
    int gtest_argc = static_cast<int>(pointers.size());
    ::testing::InitGoogleTest(&gtest_argc, pointers.data());
    if (gtest_argc < 3) {
        std::fprintf(stderr, "usage: %s <tamsel_audio_host.exe> <test mmdevapi.dll> [gtest flags]\n", utf8[0].c_str());
        return 2;
    }
    const std::wstring host_source = tamsel::test_support::windows_path(tamsel::utf8_to_wide(pointers[1]));
    const std::wstring engine_source = tamsel::test_support::windows_path(tamsel::utf8_to_wide(pointers[2]));

    // A private folder with the host and the engine side by side; the engine is found there
    // first once Wine is told to prefer a native mmdevapi.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    g_folder = std::wstring(temp) + L"tamsel-host-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(g_folder.c_str(), nullptr);
    g_host = g_folder + L"tamsel_audio_host.exe";
    if (!CopyFileW(host_source.c_str(), g_host.c_str(), FALSE) ||
        !CopyFileW(engine_source.c_str(), (g_folder + L"mmdevapi.dll").c_str(), FALSE)) {
        std::fprintf(stderr, "cannot copy the host and the engine: %lu\n", GetLastError());
        return 2;
    }
    // Wine reads the load order from the environment it was started with (a variable set here
    // with SetEnvironmentVariableW does not reach the host), and without an override it loads
    // its own mmdevapi even with another one beside the program: CTest sets
    // WINEDLLOVERRIDES=...;mmdevapi=n,b for this test.
    wchar_t overrides[1024] = L"";
    const DWORD n = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 1024);
    if (n == 0 || n >= 1024 || std::wstring(overrides).find(L"mmdevapi=n") == std::wstring::npos) {
        std::fprintf(stderr, "WINEDLLOVERRIDES must hold mmdevapi=n (or n,b) so the test engine is loaded\n");
        return 2;
    }

    g_shared_name = L"Local\\tamsel-test-engine-" + std::to_wstring(GetCurrentProcessId());
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(SharedBlock),
                                        g_shared_name.c_str());
    g_shared = mapping ? static_cast<SharedBlock*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedBlock)))
                       : nullptr;
    if (!g_shared) {
        std::fprintf(stderr, "no shared block: %lu\n", GetLastError());
        return 2;
    }
    SetEnvironmentVariableW(SHARED_VARIABLE, g_shared_name.c_str());

    const int result = RUN_ALL_TESTS();
    for (const wchar_t* file : {L"tamsel_audio_host.exe", L"mmdevapi.dll", L"scenario.txt", L"record.txt"}) {
        DeleteFileW((g_folder + file).c_str());
    }
    RemoveDirectoryW(g_folder.c_str());
    return result;
}
