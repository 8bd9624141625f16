#include "test_folder.hpp"

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tamsel::setup::test {

namespace fs = std::filesystem;

TestFolder::TestFolder() {
    static std::atomic<unsigned> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("tamsel-setup-test-" + std::to_string(stamp) + "-" + std::to_string(serial++));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary test folder");
}

TestFolder::~TestFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TestFolder::write(std::string_view name, std::string_view contents) const {
    // Names are UTF-8 on every platform.
    const fs::path file = path_ / fs::path(std::u8string(name.begin(), name.end()));
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write test file " + file.string());
    return file;
}

}  // namespace tamsel::setup::test
