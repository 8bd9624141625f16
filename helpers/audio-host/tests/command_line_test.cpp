#include "command_line.hpp"
#include "decimal.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamsel::host {
namespace {

using Args = std::vector<std::string>;

// A valid pid request with one argument replaced or removed by each case.
Args pid_request(const std::string& exclude = "42", const std::string& target = "pid:7",
                 const std::string& exe = "C:\\Apps\\Player.exe", const std::string& start = "133000000000000000") {
    return {"--target", target, "--exclude-pids", exclude, "--expected-exe", exe, "--expected-start", start};
}

struct ErrorCase {
    const char* name;
    Args args;
    const char* expected;
};

TEST(ParseArguments, ErrorTable) {
    const ErrorCase cases[] = {
        {"no arguments", {}, "one excluded parent PID is required"},
        {"one unknown argument", {"--lisT"}, "arguments must be flag/value pairs"},
        {"empty single argument", {""}, "arguments must be flag/value pairs"},
        {"list with extra pair", {"--list", "--target", "system"}, "arguments must be flag/value pairs"},
        {"list as flag", {"--list", "x"}, "unknown or duplicate argument"},
        {"version with a value", {"--version", "x"}, "unknown or duplicate argument"},
        {"version after list", {"--list", "--version"}, "unknown or duplicate argument"},
        {"version with a request", {"--version", "--target", "system"}, "arguments must be flag/value pairs"},
        {"version in capitals", {"--Version"}, "arguments must be flag/value pairs"},
        {"unknown flag", {"--target", "system", "--bogus", "1"}, "unknown or duplicate argument"},
        {"flag case", {"--Target", "system", "--exclude-pids", "1"}, "unknown or duplicate argument"},
        {"empty flag", {"", "x"}, "unknown or duplicate argument"},
        {"duplicate same value", {"--exclude-pids", "4", "--exclude-pids", "4"}, "unknown or duplicate argument"},
        {"duplicate before missing", {"--target", "a", "--target", "b"}, "unknown or duplicate argument"},
        {"unknown flag after errors elsewhere", {"--exclude-pids", "0", "--x", "y"}, "unknown or duplicate argument"},
        {"target alone", {"--target", "bogus"}, "one excluded parent PID is required"},
        {"excluded zero before target", {"--target", "bogus", "--exclude-pids", "0"},
         "exactly one positive excluded PID is required"},
        {"excluded list", {"--target", "system", "--exclude-pids", "4,5"},
         "exactly one positive excluded PID is required"},
        {"excluded value is a flag", {"--exclude-pids", "--target"}, "exactly one positive excluded PID is required"},
        {"no target", {"--exclude-pids", "4"}, "target is required"},
        {"system with exe", {"--target", "system", "--exclude-pids", "4", "--expected-exe", "C:\\a.exe"},
         "process identity is not valid for system capture"},
        {"system with start zero", {"--target", "system", "--exclude-pids", "4", "--expected-start", "0"},
         "process identity is not valid for system capture"},
        {"system with empty exe", {"--target", "system", "--exclude-pids", "4", "--expected-exe", ""},
         "process identity is not valid for system capture"},
        {"System capitalised", {"--target", "System", "--exclude-pids", "4"}, "target must be system or pid:N"},
        {"PID upper case", pid_request("42", "PID:5"), "target must be system or pid:N"},
        {"pid without number", pid_request("42", "pid:"), "target must be system or pid:N"},
        {"pid zero", pid_request("42", "pid:0"), "target must be system or pid:N"},
        {"pid too large", pid_request("42", "pid:4294967296"), "target must be system or pid:N"},
        {"pid negative", pid_request("42", "pid:-7"), "target must be system or pid:N"},
        {"short target", pid_request("42", "pid"), "target must be system or pid:N"},
        {"empty target", pid_request("42", ""), "target must be system or pid:N"},
        {"pid trailing space", pid_request("42", "pid:7 "), "target must be system or pid:N"},
        {"pid target without exe", {"--target", "pid:7", "--exclude-pids", "4", "--expected-start", "9"},
         "expected executable is required"},
        {"empty exe", pid_request("42", "pid:7", ""), "expected executable is required"},
        {"missing start", {"--target", "pid:7", "--exclude-pids", "4", "--expected-exe", "a.exe"},
         "expected process creation time is required"},
        {"start zero", pid_request("42", "pid:7", "a.exe", "0"), "expected process creation time is required"},
        {"start too large", pid_request("42", "pid:7", "a.exe", "18446744073709551616"),
         "expected process creation time is required"},
        {"start hex", pid_request("42", "pid:7", "a.exe", "0x10"), "expected process creation time is required"},
        {"start empty", pid_request("42", "pid:7", "a.exe", ""), "expected process creation time is required"},
    };
    for (const ErrorCase& c : cases) {
        const Result<HostCommand> result = parse_arguments(c.args);
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), c.expected) << c.name;
    }
}

TEST(ParseArguments, ListMode) {
    const Result<HostCommand> result = parse_arguments({"--list"});
    ASSERT_TRUE(result);
    EXPECT_TRUE(std::holds_alternative<ListProcesses>(*result));
}

TEST(ParseArguments, VersionAlone) {
    const Result<HostCommand> result = parse_arguments({"--version"});
    ASSERT_TRUE(result);
    EXPECT_TRUE(std::holds_alternative<ShowVersion>(*result));
}

TEST(ParseArguments, SystemCaptureInAnyFlagOrder) {
    for (const Args& args : {Args{"--target", "system", "--exclude-pids", "42"},
                             Args{"--exclude-pids", "42", "--target", "system"}}) {
        const Result<HostCommand> result = parse_arguments(args);
        ASSERT_TRUE(result) << result.error();
        const auto& request = std::get<CaptureRequest>(*result);
        EXPECT_TRUE(std::holds_alternative<SystemTarget>(request.target));
        EXPECT_EQ(request.excluded_pid, 42u);
    }
}

TEST(ParseArguments, ProcessCaptureKeepsValuesUnchanged) {
    const std::string exe = "  C:\\Program Files\\Ünïcode\\--odd.exe ";  // no trimming, no normalising
    const Result<HostCommand> result = parse_arguments(
        {"--expected-start", "+0133", "--expected-exe", exe, "--target", "pid:+7", "--exclude-pids", "0042"});
    ASSERT_TRUE(result) << result.error();
    const auto& request = std::get<CaptureRequest>(*result);
    EXPECT_EQ(request.excluded_pid, 42u);
    const auto& process = std::get<ProcessTarget>(request.target);
    EXPECT_EQ(process.pid, 7u);
    EXPECT_EQ(process.expected_exe, exe);
    EXPECT_EQ(process.expected_start, 133u);
}

// The reader's own limit, below the widths the command line uses: each digit is checked
// against the maximum, a single one included.
TEST(DecimalDigits, NothingAboveTheMaximum) {
    struct Case {
        const char* text;
        std::uint64_t max;
        std::optional<std::uint64_t> value;
    };
    const Case cases[] = {
        {"5", 5, 5},     {"7", 5, std::nullopt},   {"0", 0, 0},         {"1", 0, std::nullopt},
        {"05", 5, 5},    {"15", 15, 15},           {"16", 15, std::nullopt}, {"9", 8, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_decimal_digits(c.text, c.max), c.value) << "'" << c.text << "' max " << c.max;
    }
}

// The decimal syntax, seen through the excluded PID (32-bit) and the creation time (64-bit).
TEST(ParseArguments, DecimalSyntaxTable) {
    struct Case {
        const char* text;
        bool valid32;
        std::uint32_t value32;
        bool valid64;
        std::uint64_t value64;
    };
    const Case cases[] = {
        {"42", true, 42, true, 42},
        {"+42", true, 42, true, 42},
        {"00042", true, 42, true, 42},
        {"+0", false, 0, false, 0},  // valid syntax, but zero is refused
        {"0", false, 0, false, 0},
        {"-42", false, 0, false, 0},
        {" 42", false, 0, false, 0},
        {"42 ", false, 0, false, 0},
        {"0x2A", false, 0, false, 0},
        {"4 2", false, 0, false, 0},
        {"++42", false, 0, false, 0},
        {"+", false, 0, false, 0},
        {"", false, 0, false, 0},
        {"4294967295", true, 4294967295u, true, 4294967295u},
        {"4294967296", false, 0, true, 4294967296u},
        {"18446744073709551615", false, 0, true, 18446744073709551615u},
        {"18446744073709551616", false, 0, false, 0},
        {"99999999999999999999999", false, 0, false, 0},
        {"000000000000000000000000000001", true, 1, true, 1},
        {"\xd9\xa4\xd9\xa2", false, 0, false, 0},  // Arabic-Indic digits are not ASCII digits
    };
    for (const Case& c : cases) {
        const Result<HostCommand> as_pid = parse_arguments({"--target", "system", "--exclude-pids", c.text});
        ASSERT_EQ(static_cast<bool>(as_pid), c.valid32) << "32-bit: '" << c.text << "'";
        if (c.valid32) {
            EXPECT_EQ(std::get<CaptureRequest>(*as_pid).excluded_pid, c.value32) << c.text;
        } else {
            EXPECT_EQ(as_pid.error(), "exactly one positive excluded PID is required") << c.text;
        }

        const Result<HostCommand> as_start = parse_arguments(pid_request("42", "pid:7", "a.exe", c.text));
        ASSERT_EQ(static_cast<bool>(as_start), c.valid64) << "64-bit: '" << c.text << "'";
        if (c.valid64) {
            EXPECT_EQ(std::get<ProcessTarget>(std::get<CaptureRequest>(*as_start).target).expected_start, c.value64)
                << c.text;
        } else {
            EXPECT_EQ(as_start.error(), "expected process creation time is required") << c.text;
        }

        const Result<HostCommand> as_target = parse_arguments(pid_request("42", std::string("pid:") + c.text));
        ASSERT_EQ(static_cast<bool>(as_target), c.valid32) << "target: '" << c.text << "'";
        if (c.valid32) {
            EXPECT_EQ(std::get<ProcessTarget>(std::get<CaptureRequest>(*as_target).target).pid, c.value32);
        }
    }
}

TEST(ParseArguments, HugeAndOddArgumentsDoNotBreakParsing) {
    const std::string huge_exe(1 << 20, 'x');
    const Result<HostCommand> long_exe = parse_arguments(pid_request("42", "pid:7", huge_exe));
    ASSERT_TRUE(long_exe);
    EXPECT_EQ(std::get<ProcessTarget>(std::get<CaptureRequest>(*long_exe).target).expected_exe.size(), huge_exe.size());

    const Result<HostCommand> long_number = parse_arguments(pid_request(std::string(100000, '9')));
    ASSERT_FALSE(long_number);
    EXPECT_EQ(long_number.error(), "exactly one positive excluded PID is required");

    const std::string with_nul("pid:7\0", 6);
    const Result<HostCommand> nul = parse_arguments(pid_request("42", with_nul));
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error(), "target must be system or pid:N");

    const Result<HostCommand> invalid_utf8 = parse_arguments(pid_request("42", "pid:7", "C:\\\xff\xfe.exe"));
    ASSERT_TRUE(invalid_utf8);  // values are bytes to the parser; only the flags and numbers have rules
}

}  // namespace
}  // namespace tamsel::host
