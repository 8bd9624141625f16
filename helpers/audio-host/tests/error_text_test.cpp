#include "error_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tamsel::host {
namespace {

TEST(HresultFromWin32, MapsPositiveValuesAndKeepsOthers) {
    struct Case {
        std::uint32_t error;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0, 0x00000000u},            // no error: shown as zero
        {5, 0x80070005u},            // ERROR_ACCESS_DENIED
        {87, 0x80070057u},           // ERROR_INVALID_PARAMETER
        {0xFFFF, 0x8007FFFFu},       // largest code that fits the low word
        {0x10005, 0x80070005u},      // bits above the low word are dropped
        {0x7FFFFFFF, 0x8007FFFFu},   // largest positive value
        {0x80004005u, 0x80004005u},  // E_FAIL: already an HRESULT, negative, unchanged
        {0xC0000022u, 0xC0000022u},  // NT status: negative, unchanged
        {0x80000000u, 0x80000000u},  // most negative value
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hresult_from_win32(c.error), c.expected) << std::hex << c.error;
    }
}

TEST(HresultCodeText, IsEightUpperCaseDigits) {
    EXPECT_EQ(hresult_code_text(0), "0x00000000");
    EXPECT_EQ(hresult_code_text(0x80070005u), "0x80070005");
    EXPECT_EQ(hresult_code_text(0x8007abcdu), "0x8007ABCD");
    EXPECT_EQ(hresult_code_text(0x1u), "0x00000001");
    EXPECT_EQ(hresult_code_text(0xFFFFFFFFu), "0xFFFFFFFF");
}

TEST(ComposeSystemErrorText, MessageThenCodeOrCodeAlone) {
    struct Case {
        const char* message;
        std::uint32_t hr;
        const char* expected;
    };
    const Case cases[] = {
        {"Access is denied.\r\n", 0x80070005u, "Access is denied. (0x80070005)"},
        {"Access is denied.", 0x80070005u, "Access is denied. (0x80070005)"},
        {"trailing mix \t\v\f\r\n ", 0x1u, "trailing mix (0x00000001)"},
        {"  leading kept", 0x2u, "  leading kept (0x00000002)"},
        {"", 0x80004005u, "0x80004005"},
        {" \r\n", 0x80004005u, "0x80004005"},
        {"The operation completed successfully.\r\n", 0, "The operation completed successfully. (0x00000000)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compose_system_error_text(c.message, c.hr), c.expected) << c.message;
    }
}

TEST(JoinContext, ContextColonSpaceText) {
    EXPECT_EQ(join_context("open process", "Access is denied. (0x80070005)"),
              "open process: Access is denied. (0x80070005)");
    EXPECT_EQ(join_context("process snapshot", "0x80004005"), "process snapshot: 0x80004005");
}

}  // namespace
}  // namespace tamsel::host
