// Package verification and staging over real files in a temporary folder, with test manifests
// whose digests are those of the contents written here (taken with sha256sum), and over a
// scripted file system for sizes and failures no real test file should have.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "fake_package_files.hpp"
#include "package_integrity.hpp"
#include "test_folder.hpp"

namespace tamsel::setup {
namespace {

namespace fs = std::filesystem;
using test::FakeFile;
using test::FakePackageFiles;
using test::SIX_5A_SHA;
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

std::string outcome(const Status& checked) { return checked ? "ok" : checked.error(); }
std::string outcome(const Result<StagedPackage>& staged) { return staged ? "ok" : staged.error(); }

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
    const auto status = verify_package(folder.path() / "absent", "{\"readme.txt\": \"x\"} trailing");
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().rfind("[json.exception.parse_error.101]", 0), 0u) << status.error();
}


TEST(VerifyPackage, OpenFilesBoundsAndReads) {
    constexpr std::uint64_t BOUND = MAX_PACKAGE_FILE_BYTES;
    const struct {
        const char* label;
        FakeFile file;
        const char* expected;
        std::uint64_t most_read;  // bytes the check may read at most
    } cases[] = {
        {"larger than the bound: not read at all", {BOUND + 1, BOUND + 1},
         "bundled driver integrity check failed: readme.txt", 0},
        {"a terabyte: not read at all", {1ull << 40, 1ull << 40}, "bundled driver integrity check failed: readme.txt",
         0},
        {"grows past the bound while read", {6, BOUND + 2 * PACKAGE_READ_BLOCK},
         "bundled driver integrity check failed: readme.txt", BOUND + PACKAGE_READ_BLOCK},
        {"cannot be opened (held for writing elsewhere)", {6, 6, true}, "missing bundled driver file readme.txt", 0},
        {"read fails", {6, 6, false, true}, "missing bundled driver file readme.txt", 0},
    };
    for (const auto& c : cases) {
        FakePackageFiles files;
        files.files["readme.txt"] = c.file;
        const auto checked = verify_package(fs::path("app") / "drivers" / "vbcable",
                                            std::string("{\"readme.txt\": \"") + SIX_5A_SHA + "\"}", files);
        EXPECT_EQ(outcome(checked), c.expected) << c.label;
        EXPECT_LE(files.bytes_read, c.most_read) << c.label;
        EXPECT_LE(files.largest_read, PACKAGE_READ_BLOCK) << c.label << ": read in blocks, never whole";
        EXPECT_EQ(files.open_now, 0u) << c.label << ": a failed check lets everything go";
    }
}

TEST(VerifyPackage, EachFileOpenedOnceClosedOnceCheckedNothingStaged) {
    FakePackageFiles files;
    files.files["a.inf"] = {6, 6};
    files.files["readme.txt"] = {6, 6};
    const auto checked = verify_package(fs::path("app") / "drivers" / "vbcable",
                                        std::string("{\"readme.txt\": \"") + SIX_5A_SHA + "\", \"a.inf\": \"" +
                                            SIX_5A_SHA + "\"}",
                                        files);
    EXPECT_EQ(outcome(checked), "ok");
    EXPECT_EQ(files.log, (std::vector<std::string>{"open a.inf", "open readme.txt"})) << "in byte order";
    EXPECT_EQ(files.open_now, 0u);
}

// --- staging ------------------------------------------------------------------------------

std::string six_5a_manifest(std::initializer_list<const char*> names) {
    std::string manifest = "{";
    for (const char* name : names) {
        if (manifest.size() > 1) manifest += ", ";
        manifest += std::string("\"") + name + "\": \"" + SIX_5A_SHA + "\"";
    }
    return manifest + "}";
}

TEST(StagePackage, CopiesExactlyTheBytesThatWereHashed) {
    FakePackageFiles files;
    files.files["a.inf"] = {6, 6};
    // Another process changes this file between two opens: a copy made by a second read would
    // hold bytes other than those hashed.
    files.files["readme.txt"] = {6, 6, false, false, true};
    auto staged =
        stage_package(fs::path("app") / "drivers" / "vbcable", six_5a_manifest({"readme.txt", "a.inf"}), files);
    ASSERT_EQ(outcome(staged), "ok");
    EXPECT_EQ(files.log, (std::vector<std::string>{"create staging folder", "open a.inf", "stage a.inf",
                                                   "open readme.txt", "stage readme.txt"}));
    EXPECT_EQ(files.opens, (std::map<std::string, int>{{"a.inf", 1}, {"readme.txt", 1}})) << "each read once";
    EXPECT_EQ(files.staged, (std::map<std::string, std::string>{{"a.inf", std::string(6, '\x5A')},
                                                                 {"readme.txt", std::string(6, '\x5A')}}));
    EXPECT_EQ(files.staged_closed, (std::map<std::string, bool>{{"a.inf", true}, {"readme.txt", true}}));
    EXPECT_EQ(files.open_now, 0u) << "the originals are not held";
    EXPECT_EQ(files.staging_folders_now, 1);
    staged = fail("let go");
    EXPECT_EQ(files.staging_folders_now, 0) << "the staging folder goes with the result";
}

TEST(StagePackage, EveryFailureRemovesTheStagingFolder) {
    const struct {
        const char* label;
        void (*script)(FakePackageFiles&);
        const char* expected;
    } cases[] = {
        {"staging folder refused",
         [](FakePackageFiles& f) { f.staging_folder_error = "Access is denied. (os error 5)"; },
         "stage driver package: Access is denied. (os error 5)"},
        {"copy refused", [](FakePackageFiles& f) { f.refused_copies = {"readme.txt"}; },
         "stage driver package: Access is denied. (os error 5)"},
        {"copy cannot be written", [](FakePackageFiles& f) { f.failing_writes = {"readme.txt"}; },
         "stage driver package: There is not enough space on the disk. (os error 112)"},
        {"copy cannot be closed", [](FakePackageFiles& f) { f.failing_closes = {"readme.txt"}; },
         "stage driver package: The request could not be performed. (os error 1117)"},
        {"second file missing", [](FakePackageFiles& f) { f.files.erase("readme.txt"); },
         "missing bundled driver file readme.txt"},
        {"second file unreadable", [](FakePackageFiles& f) { f.files["readme.txt"].read_fails = true; },
         "missing bundled driver file readme.txt"},
        {"second file altered", [](FakePackageFiles& f) { f.files["readme.txt"].actual_size = 7; },
         "bundled driver integrity check failed: readme.txt"},
        {"second file too large", [](FakePackageFiles& f) { f.files["readme.txt"].declared_size = 1ull << 40; },
         "bundled driver integrity check failed: readme.txt"},
        {"a name outside the folder", nullptr, "invalid bundled file name"},
    };
    for (const auto& c : cases) {
        FakePackageFiles files;
        files.files["a.inf"] = {6, 6};
        files.files["readme.txt"] = {6, 6};
        std::string manifest = six_5a_manifest({"a.inf", "readme.txt"});
        if (c.script) {
            c.script(files);
        } else {
            manifest = six_5a_manifest({"a.inf", "sub/readme.txt"});
        }
        const auto staged = stage_package(fs::path("app") / "drivers" / "vbcable", manifest, files);
        EXPECT_EQ(outcome(staged), c.expected) << c.label;
        EXPECT_EQ(files.staging_folders_now, 0) << c.label << ": the staging folder is removed";
        EXPECT_EQ(files.open_now, 0u) << c.label;
    }
}

TEST(StagePackage, ManifestErrorBeforeAnyFolder) {
    FakePackageFiles files;
    const auto staged = stage_package(fs::path("app"), "{\"readme.txt\": 1}", files);
    ASSERT_FALSE(staged.has_value());
    EXPECT_EQ(staged.error().rfind("[json.exception.type_error.", 0), 0u) << staged.error();
    EXPECT_TRUE(files.log.empty());
}

TEST(StagePackage, RealFilesInAPrivateFolderRemovedAfterwards) {
    const TestFolder folder;
    write_complete_package(folder);
    folder.write("unlisted.dll", "not staged");
    fs::path staged_path;
    {
        const auto staged = stage_package(folder.path(), test_manifest());
        ASSERT_EQ(outcome(staged), "ok");
        staged_path = (*staged)->path();
        EXPECT_TRUE(is_staging_folder_name(staged_path.filename().string())) << staged_path;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(staged_path)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"VBCABLE_ControlPanel.exe", "VBCABLE_Setup.exe",
                                                   "VBCABLE_Setup_x64.exe", "readme.txt", "vbMmeCable64_win7.inf",
                                                   "vbMmeCable_2003.inf"}));
        for (const std::string& name : names) {
            std::ifstream original(folder.path() / name, std::ios::binary), copy(staged_path / name, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}),
                      std::string(std::istreambuf_iterator<char>(original), {}))
                << name;
        }
#if !defined(_WIN32)
        struct stat info {};
        ASSERT_EQ(::stat(staged_path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << "private to this account";
#endif
    }
    EXPECT_FALSE(fs::exists(staged_path)) << "removed with everything in it";
}

#if defined(_WIN32)
// The system's staging folders on Windows: made in %windir%\Temp; of the folders named like
// one, those no run holds are removed with the files in them (a folder inside is deleted only
// when empty, never entered), the one a run holds is kept, and other names are left alone.
TEST(StagingFolderWin, LeftBehindRemovedHeldKept) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const fs::path root = fs::path(windows) / L"Temp";
    auto live = system_package_files().create_staging_folder();
    ASSERT_TRUE(live.has_value()) << live.error();
    EXPECT_EQ((*live)->path().parent_path(), root);
    EXPECT_TRUE(is_staging_folder_name((*live)->path().filename().string()));
    auto staged = (*live)->create_file("staged.inf");
    ASSERT_TRUE(staged.has_value()) << staged.error();
    const std::uint8_t bytes[] = {'i', 'n', 'f'};
    ASSERT_TRUE((*staged)->write(bytes, sizeof bytes));
    ASSERT_TRUE((*staged)->close());

    const fs::path left = root / "tamsel-driver-setup-000000000000000000000000000000ff";
    const fs::path other = root / "tamsel-driver-setup-not-one-of-ours";
    for (const fs::path& folder : {left, other}) {
        fs::create_directories(folder / "sub");
        std::ofstream(folder / "a.inf") << "left";
        std::ofstream(folder / "sub" / "b.txt") << "below";
    }
    system_package_files().remove_stale_staging_folders();
    EXPECT_FALSE(fs::exists(left / "a.inf"));
    EXPECT_TRUE(fs::exists(left / "sub" / "b.txt")) << "what lies in a folder inside is never reached";
    EXPECT_TRUE(fs::exists((*live)->path() / "staged.inf")) << "held by this run: nothing in it is touched";
    EXPECT_TRUE(fs::exists(other / "a.inf")) << "not a staging folder's name";
    fs::remove(left / "sub" / "b.txt");
    system_package_files().remove_stale_staging_folders();
    EXPECT_FALSE(fs::exists(left)) << "removed once nothing is left in it";
    fs::remove_all(other);
    const fs::path live_path = (*live)->path();
    live = fail("let go");
    EXPECT_FALSE(fs::exists(live_path));
}
#endif

TEST(StagingFolderName, PrefixAndThirtyTwoLowerCaseHexDigits) {
    StagingNameBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0x0F * i + 0x0A);
    const std::string name = staging_folder_name(bytes);
    EXPECT_EQ(name, "tamsel-driver-setup-0a192837465564738291a0afbecddceb");
    const struct {
        std::string name;
        bool staging;
    } cases[] = {
        {name, true},
        {"tamsel-driver-setup-" + std::string(32, '0'), true},
        {"tamsel-driver-setup-" + std::string(31, '0'), false},
        {"tamsel-driver-setup-" + std::string(33, '0'), false},
        {"tamsel-driver-setup-" + std::string(31, '0') + "A", false},
        {"tamsel-driver-setup-" + std::string(31, '0') + "g", false},
        {"Tamsel-driver-setup-" + std::string(32, '0'), false},
        {"tamsel-driver-setup-", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_staging_folder_name(c.name), c.staging) << c.name;
}

#if !defined(_WIN32)
// The system's files on POSIX: a link or a FIFO in a file's place is not a package file
// (Windows: reparse points, shown by the Windows tests).
TEST(VerifyPackage, LinksAndSpecialFilesAreNotPackageFiles) {
    const struct {
        const char* label;
        void (*arrange)(const fs::path& package);
        const char* expected;
    } cases[] = {
        {"link to a good file",
         [](const fs::path& p) {
             fs::rename(p / "readme.txt", p / "elsewhere.txt");
             fs::create_symlink(p / "elsewhere.txt", p / "readme.txt");
         },
         "missing bundled driver file readme.txt"},
        {"FIFO",
         [](const fs::path& p) {
             fs::remove(p / "readme.txt");
             ASSERT_EQ(::mkfifo((p / "readme.txt").c_str(), 0600), 0);
         },
         "missing bundled driver file readme.txt"},
    };
    for (const auto& c : cases) {
        const TestFolder folder;
        const fs::path package = folder.path() / "drivers" / "vbcable";
        fs::create_directories(package);
        std::ofstream(package / "readme.txt", std::ios::binary) << README;
        const std::string manifest = std::string("{\"readme.txt\": \"") + README_SHA + "\"}";
        ASSERT_TRUE(verify_package(package, manifest).has_value()) << c.label << ": the plain file passes";
        c.arrange(package);
        EXPECT_EQ(outcome(verify_package(package, manifest)), c.expected) << c.label;
    }
}
#endif

}  // namespace
}  // namespace tamsel::setup
