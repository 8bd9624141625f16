// The one-component rule for packaged file names, as Windows path syntax counts components.

#include <gtest/gtest.h>

#include "manifest.hpp"
#include "name_rule.hpp"

namespace tamsel::setup {
namespace {

struct Case {
    const char* name;
    std::size_t components;
};

TEST(NameRule, ComponentCounts) {
    const Case cases[] = {
        // plain and dotted names
        {"readme.txt", 1},
        {"VBCABLE_Setup_x64.exe", 1},
        {".hidden", 1},
        {"name.", 1},
        {"...", 1},
        {".", 1},
        {"..", 1},
        {"", 0},
        // trailing and doubled separators
        {"readme.txt/", 1},
        {"readme.txt\\", 1},
        {"readme.txt//", 1},
        {"./", 1},
        {"a//b", 2},
        {"a\\\\b", 2},
        // directories before the name, both separators
        {"drivers/readme.txt", 2},
        {"drivers\\readme.txt", 2},
        {"a/b\\c", 3},
        {"./readme.txt", 2},
        {".\\readme.txt", 2},
        {"a/./b", 2},
        {"a/.", 1},
        {"../readme.txt", 2},
        {"a/..", 2},
        // root
        {"/", 1},
        {"\\", 1},
        {"/readme.txt", 2},
        {"\\readme.txt", 2},
        {"/.", 1},
        // drive prefix
        {"C:", 1},
        {"c:", 1},
        {"C:readme.txt", 2},
        {"C:\\", 2},
        {"C:/readme.txt", 3},
        {"C:.", 2},
        {"C:./x", 3},
        {"1:", 1},           // a digit is no drive letter: one plain piece
        {"ab:c", 1},         // a colon later in the name is no prefix
        // server share: always followed by its root
        {"\\\\server\\share", 2},
        {"//server/share", 2},
        {"\\\\server\\share\\", 2},
        {"\\\\server\\share\\file", 3},
        {"\\\\server", 2},   // no share: a root and a name
        {"\\\\", 1},
        // device paths
        {"\\\\.\\COM1", 2},
        {"//./COM1", 2},
        {"\\\\.\\pipe\\x", 3},
        // verbatim paths
        {"\\\\?\\x", 1},
        {"\\\\?\\C:", 1},
        {"\\\\?\\C:\\", 2},
        {"\\\\?\\C:\\file", 3},
        {"//?/x/y", 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(windows_path_component_count(c.name), c.components) << '"' << c.name << '"';
        EXPECT_EQ(is_single_path_component(c.name), c.components == 1) << '"' << c.name << '"';
    }
}

TEST(NameRule, EveryManifestNamePasses) {
    const auto manifest = parse_manifest(DRIVER_MANIFEST);
    ASSERT_TRUE(manifest.has_value());
    for (const auto& [name, digest] : *manifest) EXPECT_TRUE(is_single_path_component(name)) << name;
}

}  // namespace
}  // namespace tamsel::setup
