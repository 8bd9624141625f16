// The compiled-in manifest: its exact layout, and the parser's rules (byte order, duplicates,
// the parser's own error texts).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "manifest.hpp"
#include "sha256.hpp"

namespace tamsel::setup {
namespace {

std::vector<std::string> split_crlf_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));  // a last line without CRLF
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// `  "name": "<64 lower-case hex>"` and a comma when `comma`: two blanks of indent, name and
// digest quoted, one colon and one blank between.
bool is_member_line(const std::string& line, bool comma) {
    if (line.rfind("  \"", 0) != 0) return false;
    const std::size_t name_end = line.find('"', 3);
    if (name_end == std::string::npos || name_end == 3) return false;
    const std::string rest = line.substr(name_end);
    const std::size_t expected_size = 4 + 64 + 1 + (comma ? 1 : 0);
    if (rest.size() != expected_size || rest.compare(0, 4, "\": \"") != 0) return false;
    for (std::size_t i = 4; i < 68; ++i) {
        const char c = rest[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return rest[68] == '"' && (!comma || rest[69] == ',');
}

// The whole text, byte for byte: its length and its SHA-256 (of the 31 members in their listed
// order, laid out as below). Any change anywhere in it (a digest, a name, the order, a blank, a
// line end) changes the digest.
TEST(DriverManifest, WholeTextLengthAndDigest) {
    EXPECT_EQ(DRIVER_MANIFEST.size(), 2982u);
    const Result<Sha256Digest> digest =
        sha256(reinterpret_cast<const std::uint8_t*>(DRIVER_MANIFEST.data()), DRIVER_MANIFEST.size());
    ASSERT_TRUE(digest) << digest.error();
    EXPECT_EQ(to_lower_hex(*digest), "8f2b51335f5b7af2d75e0e5813c42f3517e28f3533d61d805e6b704f3de2f3bc");
}

TEST(DriverManifest, LengthAndLayout) {
    EXPECT_EQ(DRIVER_MANIFEST.size(), 2982u);
    ASSERT_GE(DRIVER_MANIFEST.size(), 2u);
    EXPECT_EQ(DRIVER_MANIFEST.substr(DRIVER_MANIFEST.size() - 2), "\r\n") << "the last line ends with CRLF too";
    // Every line feed belongs to a CRLF, and every CR to one.
    for (std::size_t i = 0; i < DRIVER_MANIFEST.size(); ++i) {
        if (DRIVER_MANIFEST[i] == '\n') {
            ASSERT_TRUE(i > 0 && DRIVER_MANIFEST[i - 1] == '\r') << "bare LF at " << i;
        }
        if (DRIVER_MANIFEST[i] == '\r') {
            ASSERT_TRUE(i + 1 < DRIVER_MANIFEST.size() && DRIVER_MANIFEST[i + 1] == '\n') << "bare CR at " << i;
        }
    }
    const auto lines = split_crlf_lines(DRIVER_MANIFEST);
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines.front(), "{");
    EXPECT_EQ(lines.back(), "}");
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        EXPECT_TRUE(is_member_line(line, i + 2 < lines.size())) << "line " << i << ": " << line;
    }
}

TEST(DriverManifest, MembersInListedOrder) {
    const char* listed[] = {
        "pin_in.ico", "pin_out.ico", "readme.txt", "vbaudio_cable_2003.cat", "vbaudio_cable_2003.sys",
        "vbaudio_cable_vista.cat", "vbaudio_cable_vista.sys", "vbaudio_cable_win7.cat", "vbaudio_cable_win7.sys",
        "vbaudio_cable_xp.cat", "vbaudio_cable_xp.sys", "vbaudio_cable64_2003.cat", "vbaudio_cable64_2003.sys",
        "vbaudio_cable64_vista.cat", "vbaudio_cable64_vista.sys", "vbaudio_cable64_win10.cat",
        "vbaudio_cable64_win10.sys", "vbaudio_cable64_win7.cat", "vbaudio_cable64_win7.sys",
        "vbaudio_cable64arm_win10.sys", "VBCABLE_ControlPanel.exe", "VBCABLE_Setup_x64.exe", "VBCABLE_Setup.exe",
        "vbMmeCable_2003.inf", "vbMmeCable_vista.inf", "vbMmeCable_win7.inf", "vbMmeCable_xp.inf",
        "vbMmeCable64_2003.inf", "vbMmeCable64_vista.inf", "vbMmeCable64_win10.inf", "vbMmeCable64_win7.inf",
    };
    const auto lines = split_crlf_lines(DRIVER_MANIFEST);
    ASSERT_EQ(lines.size(), 33u);
    for (std::size_t i = 0; i < 31; ++i) {
        EXPECT_EQ(lines[i + 1].substr(0, 4 + std::string(listed[i]).size()), std::string("  \"") + listed[i] + "\"");
    }
}

TEST(DriverManifest, ParsesIntoByteOrder) {
    // The order in which the files are verified.
    const char* verified[] = {
        "VBCABLE_ControlPanel.exe", "VBCABLE_Setup.exe", "VBCABLE_Setup_x64.exe", "pin_in.ico", "pin_out.ico",
        "readme.txt", "vbMmeCable64_2003.inf", "vbMmeCable64_vista.inf", "vbMmeCable64_win10.inf",
        "vbMmeCable64_win7.inf", "vbMmeCable_2003.inf", "vbMmeCable_vista.inf", "vbMmeCable_win7.inf",
        "vbMmeCable_xp.inf", "vbaudio_cable64_2003.cat", "vbaudio_cable64_2003.sys", "vbaudio_cable64_vista.cat",
        "vbaudio_cable64_vista.sys", "vbaudio_cable64_win10.cat", "vbaudio_cable64_win10.sys",
        "vbaudio_cable64_win7.cat", "vbaudio_cable64_win7.sys", "vbaudio_cable64arm_win10.sys",
        "vbaudio_cable_2003.cat", "vbaudio_cable_2003.sys", "vbaudio_cable_vista.cat", "vbaudio_cable_vista.sys",
        "vbaudio_cable_win7.cat", "vbaudio_cable_win7.sys", "vbaudio_cable_xp.cat", "vbaudio_cable_xp.sys",
    };
    const auto manifest = parse_manifest(DRIVER_MANIFEST);
    ASSERT_TRUE(manifest.has_value()) << manifest.error();
    ASSERT_EQ(manifest->size(), 31u);
    std::size_t i = 0;
    for (const auto& [name, digest] : *manifest) {
        EXPECT_EQ(name, verified[i]) << "position " << i + 1;
        EXPECT_EQ(digest.size(), 64u);
        ++i;
    }
    EXPECT_EQ(manifest->at("vbMmeCable64_win10.inf"), "61c857be74831cc299d9be62f8d49d137f14063454fc54f859d5bc9b4b813daf");
}

TEST(ParseManifest, RulesOfTheParser) {
    struct Case {
        const char* label;
        std::string text;
        std::vector<std::pair<std::string, std::string>> expected;  // in iteration order
    };
    const Case cases[] = {
        {"empty object", "{}", {}},
        {"white space around", " \r\n\t{\"a\": \"1\"}\r\n ", {{"a", "1"}}},
        {"duplicate keeps the last", R"({"a": "1", "b": "2", "a": "3"})", {{"a", "3"}, {"b", "2"}}},
        {"byte order: capitals, prefix first, UTF-8 last",
         "{\"\xc3\xa9\": \"5\", \"b\": \"4\", \"a_\": \"3\", \"a\": \"2\", \"Z\": \"1\"}",
         {{"Z", "1"}, {"a", "2"}, {"a_", "3"}, {"b", "4"}, {"\xc3\xa9", "5"}}},
        {"'.' sorts before '_' and '6' before '_'",
         R"({"x_y": "1", "x.y": "2", "v_2": "3", "v6": "4"})",
         {{"v6", "4"}, {"v_2", "3"}, {"x.y", "2"}, {"x_y", "1"}}},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_manifest(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.label << ": " << parsed.error();
        const std::vector<std::pair<std::string, std::string>> got(parsed->begin(), parsed->end());
        EXPECT_EQ(got, c.expected) << c.label;
    }
}

TEST(ParseManifest, FailuresCarryTheParsersText) {
    struct Case {
        const char* label;
        std::string text;
        const char* prefix;  // the JSON library's own message starts with its error id
    };
    const Case cases[] = {
        {"trailing garbage", "{\"a\": \"1\"} x", "[json.exception.parse_error.101] parse error at line 1, column 12"},
        {"second object", "{} {}", "[json.exception.parse_error.101]"},
        {"empty text", "", "[json.exception.parse_error.101]"},
        {"unterminated", "{\"a\": \"1\"", "[json.exception.parse_error.101]"},
        {"array", "[\"a\"]", "[json.exception.type_error.302] type must be object, but is array"},
        {"number value", R"({"a": 1})", "[json.exception.type_error.302] type must be string, but is number"},
        {"null value", R"({"a": null})", "[json.exception.type_error.302] type must be string, but is null"},
        {"object value", R"({"a": {}})", "[json.exception.type_error.302] type must be string, but is object"},
        {"string document", "\"a\"", "[json.exception.type_error.302] type must be object, but is string"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_manifest(c.text);
        ASSERT_FALSE(parsed.has_value()) << c.label;
        EXPECT_EQ(parsed.error().rfind(c.prefix, 0), 0u) << c.label << ": " << parsed.error();
    }
}

}  // namespace
}  // namespace tamsel::setup
