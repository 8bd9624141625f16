#include <gtest/gtest.h>

#include "tamsel/audio/result.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel {
namespace {

struct Utf16Case {
    const char* name;
    std::u16string input;
    std::string expected;
};

TEST(Utf16ToUtf8, Table) {
    const Utf16Case cases[] = {
        {"ascii", u"C:\\Tools\\app.exe", "C:\\Tools\\app.exe"},
        {"empty", u"", ""},
        {"two-byte", u"\u00e9", "\xC3\xA9"},
        {"three-byte", u"\u20ac", "\xE2\x82\xAC"},
        {"pair", std::u16string{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {"lone high", std::u16string{u'a', 0xD800, u'b'}, "a\xEF\xBF\xBD" "b"},
        {"lone low", std::u16string{0xDC00}, "\xEF\xBF\xBD"},
        {"high at end", std::u16string{u'x', 0xDBFF}, "x\xEF\xBF\xBD"},
        {"reversed pair", std::u16string{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"embedded nul", std::u16string{u'a', 0, u'b'}, std::string("a\0b", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(utf16_to_utf8(c.input), c.expected) << c.name;
}

struct LossyCase {
    const char* name;
    std::string input;
    std::string expected;
};

TEST(Utf8Lossy, Table) {
    const std::string R = "\xEF\xBF\xBD";
    const LossyCase cases[] = {
        {"valid", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"lone continuation", "a\x80" "b", "a" + R + "b"},
        {"overlong", "\xC0\xAF", R + R},
        {"truncated three-byte then ascii", "\xE2\x82" "A", R + "A"},
        {"surrogate encoded", "\xED\xA0\x80", R + R + R},
        {"above max", "\xF4\x90\x80\x80", R + R + R + R},
        {"invalid lead", "\xFF", R},
        {"four-byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"truncated at end", "ok\xF0\x9F", "ok" + R},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.input), c.expected) << c.name;
}

TEST(Utf8ToUtf16, RoundTripsValidText) {
    const std::u16string original = {u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00};
    EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(original)), original);
    EXPECT_EQ(utf8_to_utf16("\xFF"), std::u16string(1, char16_t{0xFFFD}));
}

TEST(SplitMultiString, SplitsWholeBufferAndSkipsEmptyPieces) {
    const std::u16string buffer = {u'a', u'b', 0, 0, u'c', 0, 0, 0, u'd', u'e'};
    const std::vector<std::string> expected = {"ab", "c", "de"};
    EXPECT_EQ(split_utf16_multi_string(buffer), expected);
    EXPECT_TRUE(split_utf16_multi_string(std::u16string(8, 0)).empty());
}

TEST(AsciiIequal, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(ascii_iequal("C:\\Apps\\Player.EXE", "c:\\apps\\player.exe"));
    EXPECT_FALSE(ascii_iequal("\xC3\x89", "\xC3\xA9"));  // É vs é: not folded
    EXPECT_FALSE(ascii_iequal("abc", "abcd"));
    EXPECT_FALSE(ascii_iequal("[", "{"));  // 0x5B vs 0x7B differ by 0x20 but are not letters
    EXPECT_TRUE(ascii_iequal("", ""));
}

TEST(TrimTrailingSpace, CutsOnlyTheTail) {
    EXPECT_EQ(trim_trailing_space("Access is denied.\r\n"), "Access is denied.");
    EXPECT_EQ(trim_trailing_space(" x \t\v\f "), " x");
    EXPECT_EQ(trim_trailing_space("\r\n"), "");
}

TEST(Result, CarriesValueOrFailure) {
    Result<int> good = 7;
    Result<int> bad = fail("broken");
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, 7);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "broken");
    Status passed_up = bad.error_result();
    EXPECT_EQ(passed_up.error(), "broken");
    EXPECT_TRUE(ok());
}

}  // namespace
}  // namespace tamsel
