#pragma once
// A fresh temporary folder per test, removed with everything in it when the test ends.

#include <filesystem>
#include <string_view>

namespace tamsel::setup::test {

class TestFolder {
public:
    TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;
    ~TestFolder();

    const std::filesystem::path& path() const noexcept { return path_; }
    // Writes `contents` to `name` inside the folder (creating it) and returns the full path.
    std::filesystem::path write(std::string_view name, std::string_view contents) const;

private:
    std::filesystem::path path_;
};

}  // namespace tamsel::setup::test
