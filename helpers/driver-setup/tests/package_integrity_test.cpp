// Package verification over real files in a temporary folder, with test manifests whose
// digests are those of the contents written here (taken with sha256sum).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "package_integrity.hpp"
#include "test_folder.hpp"

namespace tamsel::setup {
namespace {

namespace fs = std::filesystem;
using test::TestFolder;

// Contents and their SHA-256 digests.
constexpr const char* CONTROL_PANEL = "control panel";
constexpr const char* CONTROL_PANEL_SHA = "b04940611f29c8e5d97aa7d0f7726b2a1cf35b0db4a366274d3e0da8c2e0249c";
constexpr const char* SETUP = "setup";
constexpr const char* SETUP_SHA = "8fb6d5f37e8055ce720bd0b1d56587f88c0071f285966ba17e72b2b12672aa73";
constexpr const char* SETUP_X64 = "setup x64";
constexpr const char* SETUP_X64_SHA = "93b9c3f802faebb058ca08b82730ee39c793362ee7ae75cce723edba064d4bc3";
constexpr const char* README = "readme";
constexpr const char* README_SHA = "711a6108ba2ce6ca93dd47d6817f2361db10d8ab6eec89460b2dfc2c325efabe";
constexpr const char* INF64 = "inf 64 win7";
constexpr const char* INF64_SHA = "135a725dd56e8719598b09b361be520f8e50e185560dcbcc9b5180ed152b0f68";
constexpr const char* INF2003 = "inf 2003";
constexpr const char* INF2003_SHA = "628e043ef1b5fec8e94fcc381930f0a11f84a7c23d1fad97bbcb51f6e5bae629";
constexpr const char* EMPTY_SHA = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Listed in reverse of the verification order, so a pass in listed order would show.
std::string test_manifest() {
    return std::string("{\r\n") +
           "  \"vbMmeCable_2003.inf\": \"" + INF2003_SHA + "\",\r\n" +
           "  \"vbMmeCable64_win7.inf\": \"" + INF64_SHA + "\",\r\n" +
           "  \"readme.txt\": \"" + README_SHA + "\",\r\n" +
           "  \"VBCABLE_Setup_x64.exe\": \"" + SETUP_X64_SHA + "\",\r\n" +
           "  \"VBCABLE_Setup.exe\": \"" + SETUP_SHA + "\",\r\n" +
           "  \"VBCABLE_ControlPanel.exe\": \"" + CONTROL_PANEL_SHA + "\"\r\n" + "}\r\n";
}

void write_complete_package(const TestFolder& folder) {
    folder.write("VBCABLE_ControlPanel.exe", CONTROL_PANEL);
    folder.write("VBCABLE_Setup.exe", SETUP);
    folder.write("VBCABLE_Setup_x64.exe", SETUP_X64);
    folder.write("readme.txt", README);
    folder.write("vbMmeCable64_win7.inf", INF64);
    folder.write("vbMmeCable_2003.inf", INF2003);
}

std::string outcome(const Status& status) { return status ? "ok" : status.error(); }

TEST(VerifyPackage, CompletePackagePassesWithExtraFilesAndFolders) {
    const TestFolder folder;
    write_complete_package(folder);
    folder.write("unlisted.dll", "anything");
    folder.write("sub/readme.txt", "not the readme");
    EXPECT_EQ(outcome(verify_package(folder.path(), test_manifest())), "ok");
}

TEST(VerifyPackage, FirstProblemInByteOrderIsReported) {
    struct Case {
        const char* label;
        const char* remove;  // file to delete, or nullptr
        const char* alter;   // file to overwrite with other contents, or nullptr
        const char* expected;
    };
    const Case cases[] = {
        {"capitals come first", "VBCABLE_Setup.exe", "readme.txt", "missing bundled driver file VBCABLE_Setup.exe"},
        {"'.' before '_'", "VBCABLE_Setup_x64.exe", nullptr, "missing bundled driver file VBCABLE_Setup_x64.exe"},
        {"Setup.exe verified before Setup_x64.exe", "VBCABLE_Setup_x64.exe", "VBCABLE_Setup.exe",
         "bundled driver integrity check failed: VBCABLE_Setup.exe"},
        {"'6' before '_'", "vbMmeCable_2003.inf", "vbMmeCable64_win7.inf",
         "bundled driver integrity check failed: vbMmeCable64_win7.inf"},
        {"lower case last", "vbMmeCable_2003.inf", nullptr, "missing bundled driver file vbMmeCable_2003.inf"},
        {"readme before vbMme", "vbMmeCable64_win7.inf", "readme.txt",
         "bundled driver integrity check failed: readme.txt"},
    };
    for (const auto& c : cases) {
        const TestFolder folder;
        write_complete_package(folder);
        if (c.remove) fs::remove(folder.path() / c.remove);
        if (c.alter) folder.write(c.alter, "altered");
        EXPECT_EQ(outcome(verify_package(folder.path(), test_manifest())), c.expected) << c.label;
    }
}

TEST(VerifyPackage, MissingFolderNamesTheFirstFileOfTheDriverManifest) {
    const TestFolder folder;
    EXPECT_EQ(outcome(verify_package(folder.path() / "drivers/vbcable")),
              "missing bundled driver file VBCABLE_ControlPanel.exe");
}

TEST(VerifyPackage, DriverManifestRejectsAWrongFirstFile) {
    const TestFolder folder;
    folder.write("VBCABLE_ControlPanel.exe", CONTROL_PANEL);
    EXPECT_EQ(outcome(verify_package(folder.path())),
              "bundled driver integrity check failed: VBCABLE_ControlPanel.exe");
}

TEST(VerifyPackage, FolderInPlaceOfAFile) {
    const TestFolder folder;
    write_complete_package(folder);
    fs::remove(folder.path() / "readme.txt");
    fs::create_directory(folder.path() / "readme.txt");
    EXPECT_EQ(outcome(verify_package(folder.path(), test_manifest())), "missing bundled driver file readme.txt");
}

TEST(VerifyPackage, EmptyFileFailsTheComparison) {
    const TestFolder folder;
    write_complete_package(folder);
    folder.write("VBCABLE_Setup.exe", "");
    EXPECT_EQ(outcome(verify_package(folder.path(), test_manifest())),
              "bundled driver integrity check failed: VBCABLE_Setup.exe");
    // The empty message's digest itself does match an empty file.
    EXPECT_EQ(outcome(verify_package(folder.path(), std::string("{\"VBCABLE_Setup.exe\": \"") + EMPTY_SHA + "\"}")),
              "ok");
}

TEST(VerifyPackage, OneChangedByteAnywhere) {
    const std::string original = README;
    for (std::size_t at = 0; at < original.size(); ++at) {
        const TestFolder folder;
        write_complete_package(folder);
        std::string changed = original;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        folder.write("readme.txt", changed);
        EXPECT_EQ(outcome(verify_package(folder.path(), test_manifest())),
                  "bundled driver integrity check failed: readme.txt")
            << "byte " << at;
    }
}

TEST(VerifyPackage, DigestComparisonIsExact) {
    const TestFolder folder;
    folder.write("readme.txt", README);
    std::string upper = README_SHA;
    for (char& ch : upper) ch = static_cast<char>(ch >= 'a' && ch <= 'f' ? ch - 'a' + 'A' : ch);
    const struct {
        const char* label;
        std::string digest;
        const char* expected;
    } cases[] = {
        {"exact", README_SHA, "ok"},
        {"upper case", upper, "bundled driver integrity check failed: readme.txt"},
        {"trailing blank", std::string(README_SHA) + " ", "bundled driver integrity check failed: readme.txt"},
        {"leading blank", std::string(" ") + README_SHA, "bundled driver integrity check failed: readme.txt"},
        {"truncated", std::string(README_SHA).substr(0, 63), "bundled driver integrity check failed: readme.txt"},
        {"empty", "", "bundled driver integrity check failed: readme.txt"},
    };
    for (const auto& c : cases) {
        const std::string manifest = "{\"readme.txt\": \"" + c.digest + "\"}";
        EXPECT_EQ(outcome(verify_package(folder.path(), manifest)), c.expected) << c.label;
    }
}

TEST(VerifyPackage, NamesOutsideTheFolderAreRejectedBeforeAnyRead) {
    const TestFolder folder;
    folder.write("sub/readme.txt", README);
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"sub/readme.txt", "invalid bundled file name"},
        {"sub\\\\readme.txt", "invalid bundled file name"},
        {"/etc/passwd", "invalid bundled file name"},
        {"", "invalid bundled file name"},
        {"..", "missing bundled driver file .."},
        {".", "missing bundled driver file ."},
        {"sub", "missing bundled driver file sub"},
    };
    for (const auto& c : cases) {
        const std::string manifest = std::string("{\"") + c.name + "\": \"" + README_SHA + "\"}";
        EXPECT_EQ(outcome(verify_package(folder.path(), manifest)), c.expected) << c.name;
    }
}

TEST(VerifyPackage, ManifestErrorComesBeforeAnyFile) {
    const TestFolder folder;
    const Status status = verify_package(folder.path() / "absent", "{\"readme.txt\": \"x\"} trailing");
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().rfind("[json.exception.parse_error.101]", 0), 0u) << status.error();
}

TEST(ReadWholeFile, ContentsOrFailure) {
    const TestFolder folder;
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 4096);
    folder.write("large.bin", large);
    const auto contents = read_whole_file(folder.path() / "large.bin");
    ASSERT_TRUE(contents.has_value());
    EXPECT_TRUE(std::equal(contents->begin(), contents->end(), large.begin(), large.end(),
                           [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
    EXPECT_FALSE(read_whole_file(folder.path() / "absent.bin").has_value());
    EXPECT_FALSE(read_whole_file(folder.path()).has_value());
}

}  // namespace
}  // namespace tamsel::setup
