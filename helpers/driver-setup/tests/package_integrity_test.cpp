// Package verification over real files in a temporary folder, with test manifests whose
// digests are those of the contents written here (taken with sha256sum), and over a scripted
// file system for sizes and failures no real test file should have.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

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

std::string outcome(const Result<PackageHold>& held) { return held ? "ok" : held.error(); }

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

// A scripted file system: files of any declared size whose bytes are made up as they are read,
// folders that can or cannot be held, and a log of what is open.
struct FakeFile {
    std::uint64_t declared_size = 0;
    std::uint64_t actual_size = 0;  // bytes the reads give before the end
    bool open_fails = false;
    bool read_fails = false;
};

class FakeFiles final : public PackageFiles {
public:
    std::map<std::string, FakeFile> files;
    bool folders_hold = true;
    std::vector<std::string> log;
    std::size_t open_now = 0;
    std::size_t largest_read = 0;
    std::uint64_t bytes_read = 0;

    std::unique_ptr<PackageFile> open_file(const fs::path& file) override {
        const std::string name = file.filename().string();
        log.push_back("open " + name);
        const auto it = files.find(name);
        if (it == files.end() || it->second.open_fails) return nullptr;
        return std::make_unique<Open>(*this, it->second);
    }
    std::unique_ptr<HeldHandle> hold_folder(const fs::path& folder) override {
        log.push_back("hold " + folder.filename().string());
        if (!folders_hold) return nullptr;
        return std::make_unique<Open>(*this, FakeFile{});
    }

private:
    class Open final : public PackageFile {
    public:
        Open(FakeFiles& owner, FakeFile file) : owner_(owner), file_(file) { ++owner_.open_now; }
        ~Open() override { --owner_.open_now; }
        std::uint64_t size() const override { return file_.declared_size; }
        Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
            owner_.largest_read = std::max(owner_.largest_read, capacity);
            if (file_.read_fails) return fail("read");
            const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, file_.actual_size - position_));
            std::fill_n(buffer, got, std::uint8_t{0x5A});
            position_ += got;
            owner_.bytes_read += got;
            return got;
        }

    private:
        FakeFiles& owner_;
        FakeFile file_;
        std::uint64_t position_ = 0;
    };
};

// The digest of six 0x5A bytes, which is what the fake gives for a 6-byte file.
constexpr const char* SIX_5A_SHA = "0a482c589594109cea209233a1f3bfa51f8a52e4534c40e9511c6030ee0f594a";

TEST(VerifyPackage, OpenFilesBoundsAndHolds) {
    constexpr std::uint64_t BOUND = MAX_PACKAGE_FILE_BYTES;
    const struct {
        const char* label;
        FakeFile file;
        bool folders_hold;
        const char* expected;
        std::uint64_t most_read;  // bytes the check may read at most
    } cases[] = {
        {"larger than the bound: not read at all", {BOUND + 1, BOUND + 1}, true,
         "bundled driver integrity check failed: readme.txt", 0},
        {"a terabyte: not read at all", {1ull << 40, 1ull << 40}, true,
         "bundled driver integrity check failed: readme.txt", 0},
        {"grows past the bound while read", {6, BOUND + 2 * PACKAGE_READ_BLOCK}, true,
         "bundled driver integrity check failed: readme.txt", BOUND + PACKAGE_READ_BLOCK},
        {"cannot be opened (held for writing elsewhere)", {6, 6, true}, true,
         "missing bundled driver file readme.txt", 0},
        {"read fails", {6, 6, false, true}, true, "missing bundled driver file readme.txt", 0},
        {"package folders cannot be held", {6, 6}, false, "missing bundled driver file readme.txt", 0},
    };
    for (const auto& c : cases) {
        FakeFiles files;
        files.files["readme.txt"] = c.file;
        files.folders_hold = c.folders_hold;
        const auto held = verify_package(fs::path("app") / "drivers" / "vbcable",
                                         std::string("{\"readme.txt\": \"") + SIX_5A_SHA + "\"}", files);
        ASSERT_FALSE(held.has_value()) << c.label;
        EXPECT_EQ(held.error(), c.expected) << c.label;
        EXPECT_LE(files.bytes_read, c.most_read) << c.label;
        EXPECT_LE(files.largest_read, PACKAGE_READ_BLOCK) << c.label << ": read in blocks, never whole";
        EXPECT_EQ(files.open_now, 0u) << c.label << ": a failed check lets everything go";
        if (!c.folders_hold) {
            EXPECT_EQ(files.log, (std::vector<std::string>{"hold drivers"})) << c.label << ": no file opened";
        }
    }
}

TEST(VerifyPackage, VerifiedFilesAndFoldersStayOpenUntilLetGo) {
    FakeFiles files;
    files.files["a.inf"] = {6, 6};
    files.files["readme.txt"] = {6, 6};
    auto held = verify_package(fs::path("app") / "drivers" / "vbcable",
                               std::string("{\"readme.txt\": \"") + SIX_5A_SHA + "\", \"a.inf\": \"" + SIX_5A_SHA +
                                   "\"}",
                               files);
    ASSERT_TRUE(held.has_value()) << held.error();
    // The folders before any file, then each file opened once, in byte order.
    EXPECT_EQ(files.log, (std::vector<std::string>{"hold drivers", "hold vbcable", "open a.inf", "open readme.txt"}));
    EXPECT_EQ(held->size(), 4u);
    EXPECT_EQ(files.open_now, 4u);
    { const PackageHold let_go = std::move(*held); }
    EXPECT_EQ(files.open_now, 0u);
}

#if !defined(_WIN32)
// The system's files on POSIX: a link or a FIFO in a file's place, or a linked folder, is not a
// package file (Windows: reparse points, shown by the Windows tests).
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
        {"linked package folder",
         [](const fs::path& p) {
             fs::rename(p, p.parent_path() / "real");
             fs::create_directory_symlink(p.parent_path() / "real", p);
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
