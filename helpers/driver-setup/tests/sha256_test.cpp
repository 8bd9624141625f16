// SHA-256 against the FIPS 180-4 example messages, and against sha256sum for a large file
// (Sha256File, run by sha256_file_check.sh, which generates the file and its expected digest).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "package_integrity.hpp"
#include "sha256.hpp"

namespace tamsel::setup {
namespace {

std::string hex_of(const std::string& message) {
    const auto digest = sha256(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    EXPECT_TRUE(digest.has_value()) << (digest ? "" : digest.error());
    return digest ? to_lower_hex(*digest) : std::string();
}

struct Vector {
    const char* label;
    std::string message;
    const char* digest;
};

TEST(Sha256, FipsExampleMessages) {
    const Vector vectors[] = {
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"one million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) EXPECT_EQ(hex_of(v.message), v.digest) << v.label;
}

TEST(Sha256, EmptyInputWithoutBuffer) {
    const auto digest = sha256(nullptr, 0);
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(to_lower_hex(*digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256, HexIsLowerCaseHighNibbleFirst) {
    Sha256Digest digest{};
    digest[0] = 0xAB;
    digest[1] = 0x0F;
    digest[31] = 0xF0;
    EXPECT_EQ(to_lower_hex(digest), "ab0f" + std::string(58, '0') + "f0");
}

TEST(Sha256File, MatchesSha256sumOfGeneratedFile) {
    const char* file = std::getenv("TAMSEL_SHA256_FILE");
    const char* expected = std::getenv("TAMSEL_SHA256_EXPECTED");
    ASSERT_NE(file, nullptr) << "run through sha256_file_check.sh";
    ASSERT_NE(expected, nullptr) << "run through sha256_file_check.sh";
    // Through the package check itself: the file opened once and streamed in blocks.
    const std::filesystem::path path(file);
    const std::string name = path.filename().string();
    const auto checked = verify_package(path.parent_path(), "{\"" + name + "\": \"" + expected + "\"}");
    EXPECT_TRUE(checked.has_value()) << checked.error();
    std::string wrong = expected;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    const auto differs = verify_package(path.parent_path(), "{\"" + name + "\": \"" + wrong + "\"}");
    ASSERT_FALSE(differs.has_value());
    EXPECT_EQ(differs.error(), "bundled driver integrity check failed: " + name);
}

}  // namespace
}  // namespace tamsel::setup
