#include "events.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace tamsel::host {
namespace {

std::string error_line_for(const std::string& quoted_message) {
    return R"({"code":"capture_failed","event":"error","message":")" + quoted_message + "\"}\n";
}

TEST(ErrorEventLine, EscapingTable) {
    struct Case {
        std::string message;
        const char* escaped;  // the JSON string's body as written on the line
    };
    const Case cases[] = {
        {"target is required", "target is required"},
        {"say \"hi\"", R"(say \"hi\")"},
        {"C:\\Program Files\\a.exe", R"(C:\\Program Files\\a.exe)"},
        {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
        {std::string("\x01\x1f\x0b", 3), R"(\u0001\u001f\u000b)"},
        {std::string(1, '\0'), R"(\u0000)"},
        {"a\x7f" "b", "a\x7f" "b"},        // DEL unchanged
        {"a/b", "a/b"},                    // solidus unchanged
        {"Zugriff verweigert: \xc3\xa4\xe2\x82\xac\xf0\x9f\x8e\xa7", "Zugriff verweigert: \xc3\xa4\xe2\x82\xac\xf0\x9f\x8e\xa7"},
        {"bad \xff byte", "bad \xef\xbf\xbd byte"},           // invalid UTF-8 becomes U+FFFD
        {"cut \xe2\x82", "cut \xef\xbf\xbd"},                  // truncated sequence
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // encoded surrogate is invalid
        {"", ""},
    };
    for (const Case& c : cases) {
        const std::string line = error_event_line(c.message);
        EXPECT_EQ(line, error_line_for(c.escaped)) << c.message;
        // One line: the only line feed is the final one.
        EXPECT_EQ(line.find('\n'), line.size() - 1) << c.message;
    }
}

TEST(ErrorEventLine, RoundTripsThroughAParser) {
    const std::string message = "open process: \"C:\\x\" \t\x01 failed";
    const std::string line = error_event_line(message);
    const nlohmann::json parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed.at("message").get<std::string>(), message);
    EXPECT_EQ(parsed.at("code").get<std::string>(), "capture_failed");
    EXPECT_EQ(parsed.at("event").get<std::string>(), "error");
}

TEST(FormatEventLine, ExactText) {
    EXPECT_EQ(format_event_line("wasapi-process-loopback"),
              "{\"backend\":\"wasapi-process-loopback\",\"channels\":1,\"event\":\"format\","
              "\"sampleFormat\":\"s16le\",\"sampleRate\":48000}\n");
    EXPECT_EQ(format_event_line("pulse \"x\"\xff"),
              "{\"backend\":\"pulse \\\"x\\\"\xef\xbf\xbd\",\"channels\":1,\"event\":\"format\","
              "\"sampleFormat\":\"s16le\",\"sampleRate\":48000}\n");
}

}  // namespace
}  // namespace tamsel::host
