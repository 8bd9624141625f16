// Plays the translator: starts the real tamsel_audio_host.exe as its child with pipes on all
// three standard handles, the way the application does, and checks what the host answers.
//
// Usage: tamsel_host_capture_translator_test <path of tamsel_audio_host.exe> [gtest flags]
// The same program started with "--sleep" is a helper child that only waits to be ended.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "child_process_win.hpp"
#include "top_windows_win.hpp"
#include "tamsel/audio/text.hpp"

namespace {

std::wstring g_host_path;

struct Identity {
    std::string exe;
    std::uint64_t start = 0;
};

std::optional<Identity> identity_of(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return std::nullopt;
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    const bool named = QueryFullProcessImageNameW(process, 0, path.data(), &size);
    const std::uint64_t start = tamsel::test_support::creation_time(process);
    CloseHandle(process);
    if (!named || start == 0) return std::nullopt;
    path.resize(size);
    return Identity{tamsel::wide_to_utf8(path), start};
}

std::map<DWORD, DWORD> process_parents() {
    std::map<DWORD, DWORD> parents;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return parents;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        parents[entry.th32ProcessID] = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
    return parents;
}

bool reaches(const std::map<DWORD, DWORD>& parents, DWORD ancestor, DWORD start) {
    std::set<DWORD> seen;
    for (DWORD p = start; p != 0 && seen.insert(p).second;) {
        if (p == ancestor) return true;
        const auto found = parents.find(p);
        if (found == parents.end()) return false;
        p = found->second;
    }
    return false;
}

// A running process outside our tree, whose tree does not hold us either, and whose identity
// can be read: a target the translator may legitimately capture.
// A process outside our tree that stays for the whole test: Wine's services.exe lives as long as
// the prefix's server does, so it is taken first; a short-lived process (another test's child,
// a helper of Wine's) could end between the choice and the host's check.
std::optional<std::pair<DWORD, Identity>> unrelated_process() {
    const std::map<DWORD, DWORD> parents = process_parents();
    const DWORD self = GetCurrentProcessId();
    std::optional<std::pair<DWORD, Identity>> any;
    for (const auto& [pid, parent] : parents) {
        (void)parent;
        if (pid == 0 || pid == self || reaches(parents, self, pid) || reaches(parents, pid, self)) continue;
        std::optional<Identity> identity = identity_of(pid);
        if (!identity) continue;
        std::string lower = identity->exe;
        for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower.size() >= 13 && lower.compare(lower.size() - 13, 13, "\\services.exe") == 0) {
            return std::make_pair(pid, *identity);
        }
        if (!any) any = std::make_pair(pid, *identity);
    }
    return any;
}

using tamsel::test_support::Child;
using HostRun = Child::Output;

// Starts the host with the arguments, pipes on stdin, stdout and stderr (standard input held
// open until it ends, as the translator does), only the child's pipe ends inherited (and only
// those, through the handle list), and waits for its end.
HostRun run_host(const std::vector<std::wstring>& arguments) {
    tamsel::test_support::ChildOptions options;
    options.input = tamsel::test_support::ChildInput::open_pipe;
    DWORD error = 0;
    Child host = Child::start(g_host_path, arguments, &error, options);
    if (!host.started()) {
        ADD_FAILURE() << "starting the host failed: " << error;
        return {};
    }
    EXPECT_TRUE(host.handles_listed()) << "handle list attribute could not be set";
    HostRun run = host.finish(30000);
    // End of file arrives once the host's ends are closed; never hang on a stray copy.
    for (const bool ended : {run.out_ended, run.err_ended}) {
        if (!ended) ADD_FAILURE() << "a pipe stayed open after the host ended";
    }
    return run;
}

// A child of ours that only waits, to serve as "another parent" and as "one of our children".
Child start_sleeper() { return Child::start(tamsel::test_support::own_program(), {L"--sleep"}); }

std::wstring wide(const std::string& text) { return tamsel::utf8_to_wide(text); }
std::wstring number(std::uint64_t value) { return std::to_wstring(value); }

std::string error_line(const std::string& message) {
    return R"({"code":"capture_failed","event":"error","message":")" + message + "\"}\n";
}

const std::string NOT_PARENT = "excluded PID must be the helper's parent application";
const std::string TREE_RULE = "selected process tree includes the translator or belongs to it";
const std::string IDENTITY_CHANGED = "selected process identity changed; refresh the process list";

// The system's own text for an HRESULT, trailing white space cut (the oracle for the host's).
std::string system_message_of(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text = n && buffer ? tamsel::wide_to_utf8(std::wstring_view(buffer, n)) : std::string();
    if (buffer) LocalFree(buffer);
    return std::string(tamsel::trim_trailing_space(text));
}

// Every refusal before any audio is touched: one error line, exit code 1, nothing on stdout.
void expect_refusal(const HostRun& run, const std::string& message) {
    ASSERT_TRUE(run.finished) << "the host did not end";
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.err, error_line(message));
    EXPECT_EQ(run.out, "");
}

std::vector<std::wstring> process_target(DWORD pid, const Identity& identity, DWORD excluded) {
    return {L"--target", L"pid:" + number(pid), L"--exclude-pids", number(excluded), L"--expected-exe",
            wide(identity.exe), L"--expected-start", number(identity.start)};
}

Identity own_identity() {
    std::optional<Identity> self = identity_of(GetCurrentProcessId());
    return self ? *self : Identity{};
}

// ---- Who may start the host ------------------------------------------------------------------

TEST(TranslatorStartsHost, AnotherParentIsRefusedForASystemTarget) {
    const Child other = start_sleeper();
    ASSERT_NE(other.pid(), 0u);
    expect_refusal(run_host({L"--target", L"system", L"--exclude-pids", number(other.pid())}), NOT_PARENT);
}

TEST(TranslatorStartsHost, AnotherParentIsRefusedForAProcessTarget) {
    const Child other = start_sleeper();
    ASSERT_NE(other.pid(), 0u);
    const auto target = unrelated_process();
    ASSERT_TRUE(target.has_value()) << "no process outside our tree to target";
    expect_refusal(run_host(process_target(target->first, target->second, other.pid())), NOT_PARENT);
}

// ---- Tree rule -------------------------------------------------------------------------------

TEST(TranslatorStartsHost, TranslatorItselfAsTargetBreaksTheTreeRule) {
    const Identity self = own_identity();
    ASSERT_FALSE(self.exe.empty());
    expect_refusal(run_host(process_target(GetCurrentProcessId(), self, GetCurrentProcessId())), TREE_RULE);
}

TEST(TranslatorStartsHost, ChildOfTheTranslatorAsTargetBreaksTheTreeRule) {
    const Child child = start_sleeper();
    ASSERT_NE(child.pid(), 0u);
    const std::optional<Identity> identity = identity_of(child.pid());
    ASSERT_TRUE(identity.has_value());
    expect_refusal(run_host(process_target(child.pid(), *identity, GetCurrentProcessId())), TREE_RULE);
}

// ---- Identity --------------------------------------------------------------------------------

TEST(TranslatorStartsHost, WrongExpectedStartIsAChangedIdentity) {
    const auto target = unrelated_process();
    ASSERT_TRUE(target.has_value());
    Identity wrong = target->second;
    wrong.start += 1;
    expect_refusal(run_host(process_target(target->first, wrong, GetCurrentProcessId())), IDENTITY_CHANGED);
}

TEST(TranslatorStartsHost, WrongExpectedExeIsAChangedIdentity) {
    const auto target = unrelated_process();
    ASSERT_TRUE(target.has_value());
    Identity wrong = target->second;
    wrong.exe += "x";
    expect_refusal(run_host(process_target(target->first, wrong, GetCurrentProcessId())), IDENTITY_CHANGED);
}

// ---- Reaching the audio engine ---------------------------------------------------------------

// Wine has no process loopback: the activation completes with a failure, and the host reports
// it as the only line, before any format event or PCM.
void expect_activation_refused(const HostRun& run) {
    ASSERT_TRUE(run.finished) << "the host did not end";
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.out, "") << "no PCM may be written";
    ASSERT_FALSE(run.err.empty());
    ASSERT_EQ(run.err.back(), '\n');
    ASSERT_EQ(run.err.find('\n'), run.err.size() - 1) << "exactly one line: " << run.err;
    const nlohmann::json event = nlohmann::json::parse(run.err, nullptr, false);
    ASSERT_TRUE(event.is_object()) << run.err;
    ASSERT_EQ(event.size(), 3u) << run.err;
    EXPECT_EQ(event.value("code", ""), "capture_failed");
    EXPECT_EQ(event.value("event", ""), "error");
    const std::string message = event.value("message", "");
    const std::string prefix = "process-loopback activation (requires supported Windows build): ";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    // Wine 8 completes the activation (GetActivateResult succeeds) with ERROR_FILE_NOT_FOUND as
    // an HRESULT, and the message table has a text for it (English: "File not found."), so the
    // line is exactly the context, that text and the code.
    EXPECT_TRUE(std::regex_match(message.substr(prefix.size()), std::regex(R"(\S.* \(0x80070002\))"))) << message;
    EXPECT_EQ(message, prefix + system_message_of(0x80070002u) + " (0x80070002)");
}

TEST(TranslatorStartsHost, SystemCaptureReachesTheActivation) {
    expect_activation_refused(run_host({L"--target", L"system", L"--exclude-pids", number(GetCurrentProcessId())}));
}

TEST(TranslatorStartsHost, ProcessCaptureOfAnUnrelatedProcessReachesTheActivation) {
    const auto target = unrelated_process();
    ASSERT_TRUE(target.has_value());
    expect_activation_refused(run_host(process_target(target->first, target->second, GetCurrentProcessId())));
}

TEST(TranslatorStartsHost, ExpectedExeMatchesInAnyAsciiCase) {
    const auto target = unrelated_process();
    ASSERT_TRUE(target.has_value());
    Identity upper = target->second;
    for (char& c : upper.exe) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    expect_activation_refused(run_host(process_target(target->first, upper, GetCurrentProcessId())));
}

// ---- The Unicode entry -----------------------------------------------------------------------

bool has_visible_window(DWORD pid) { return tamsel::test_support::top_windows_of(pid, true) > 0; }

std::wstring folder_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

// A copy of the window owner under a name with non-ASCII letters (Latin-1, Cyrillic and CJK),
// started outside our process tree: a child of ours starts it and ends at once.
struct UnicodeTarget {
    std::wstring path;
    DWORD pid = 0;
    ~UnicodeTarget() {
        if (pid != 0) {
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        if (!path.empty()) DeleteFileW(path.c_str());
    }
};

TEST(TranslatorStartsHost, ANonAsciiImagePathIsCapturedByItsListedExe) {
    if (!tamsel::test_support::has_display()) GTEST_SKIP() << "needs a display for the target's window (run under xvfb-run)";
    UnicodeTarget target;
    target.path = folder_of(g_host_path) + L"tamsel_\u00E4\u00F6\u0436_\u97F3.exe";
    ASSERT_TRUE(CopyFileW((folder_of(g_host_path) + L"tamsel_window_owner.exe").c_str(), target.path.c_str(), FALSE))
        << GetLastError();

    tamsel::test_support::ChildOptions options;
    Child spawner = Child::start(tamsel::test_support::own_program(), {L"--spawn", target.path}, nullptr, options);
    ASSERT_TRUE(spawner.started());
    const HostRun spawned = spawner.finish(30000);
    ASSERT_TRUE(spawned.finished);
    ASSERT_EQ(spawned.exit_code, 0u) << spawned.err;
    target.pid = static_cast<DWORD>(std::stoul(spawned.out));
    for (int i = 0; i < 400 && !has_visible_window(target.pid); ++i) Sleep(50);
    ASSERT_TRUE(has_visible_window(target.pid)) << "the target shows its windows";

    // The list names it with its full Unicode path.
    const HostRun listed = run_host({L"--list"});
    ASSERT_EQ(listed.exit_code, 0u) << listed.err;
    const nlohmann::json list = nlohmann::json::parse(listed.out);
    std::optional<Identity> from_list;
    for (const nlohmann::json& record : list) {
        if (record.at("id") == "pid:" + std::to_string(target.pid)) {
            from_list = Identity{record.at("exe").get<std::string>(), record.at("start_time").get<std::uint64_t>()};
        }
    }
    ASSERT_TRUE(from_list.has_value()) << listed.out;
    EXPECT_NE(from_list->exe.find("tamsel_\u00E4\u00F6\u0436_\u97F3.exe"), std::string::npos) << from_list->exe;
    EXPECT_EQ(tamsel::utf8_to_wide(from_list->exe).size(), from_list->exe.size() - 5) << "four non-ASCII letters: 9 UTF-8 bytes, 4 UTF-16 units";

    // Captured by exactly what the list said: the identity matches (an entry that read its
    // arguments as ANSI text would see "?" for each of those letters and refuse the identity),
    // and the run goes on to the audio engine.
    expect_activation_refused(run_host(process_target(target.pid, *from_list, GetCurrentProcessId())));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--sleep") {
        Sleep(120000);
        return 0;
    }
    if (argc >= 2 && std::string(argv[1]) == "--spawn") {
        // Starts the program whose path is the rest of our command line (read as UTF-16), prints
        // its pid and ends, so the program is nobody's child in the running tree.
        const wchar_t* line = GetCommandLineW();
        const wchar_t* path = wcsstr(line, L"--spawn ");
        if (!path) return 3;
        std::wstring program = path + 8;
        if (program.size() >= 2 && program.front() == L'"') program = program.substr(1, program.size() - 2);
        std::wstring command = L"\"" + program + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info)) {
            return 4;
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        const std::string pid = std::to_string(info.dwProcessId);
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s <tamsel_audio_host.exe> [gtest flags]\n", argv[0]);
        return 2;
    }
    g_host_path = tamsel::test_support::windows_path(tamsel::utf8_to_wide(argv[1]));
    return RUN_ALL_TESTS();
}
