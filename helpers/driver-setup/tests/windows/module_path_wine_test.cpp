// The own-path query: the real module path, and the growing buffer against queries that cut
// the text short or fail.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module_path_win.hpp"

namespace tamsel::setup::win {
namespace {

TEST(OwnModulePath, IsThisProgram) {
    const auto path = own_module_path();
    ASSERT_TRUE(path.has_value()) << path.error();
    EXPECT_TRUE(path->is_absolute());
    EXPECT_EQ(path->filename().wstring(), L"tamsel_setup_module_path_wine_tests.exe");
}

TEST(OwnModulePath, BufferGrowsUntilTheWholeTextFits) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{259}, std::size_t{260}, std::size_t{261},
                                   std::size_t{1000}, std::size_t{32767}}) {
        const std::wstring text(size, L'p');
        std::vector<DWORD> capacities;
        // GetModuleFileNameW's contract: a cut text fills the buffer and returns its size.
        const auto got = query_full_text([&](wchar_t* buffer, DWORD capacity) -> DWORD {
            capacities.push_back(capacity);
            if (text.size() < capacity) {
                text.copy(buffer, text.size());
                buffer[text.size()] = L'\0';
                return static_cast<DWORD>(text.size());
            }
            text.copy(buffer, capacity - 1);
            buffer[capacity - 1] = L'\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return capacity;
        });
        ASSERT_TRUE(got.has_value()) << size;
        EXPECT_EQ(*got, text) << size;
        EXPECT_EQ(capacities.front(), static_cast<DWORD>(MAX_PATH));
        EXPECT_GT(capacities.back(), static_cast<DWORD>(size)) << "the last buffer holds text and NUL";
    }
}

TEST(OwnModulePath, FailureGivesTheSystemTextAndCode) {
    const auto got = query_full_text([](wchar_t*, DWORD) -> DWORD {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    });
    ASSERT_FALSE(got.has_value());
    const std::string suffix = " (os error 126)";
    ASSERT_GT(got.error().size(), suffix.size()) << got.error();
    EXPECT_EQ(got.error().substr(got.error().size() - suffix.size()), suffix) << got.error();
}

TEST(OwnModulePath, EndlessTruncationStops) {
    const auto got = query_full_text([](wchar_t*, DWORD capacity) -> DWORD { return capacity; });
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().find("(os error 122)"), std::string::npos) << got.error();
}

}  // namespace
}  // namespace tamsel::setup::win
