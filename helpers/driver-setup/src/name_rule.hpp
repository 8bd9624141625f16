#pragma once
// How many components a name has under Windows path syntax, so that a packaged file name can
// be checked to be exactly one file name inside the driver folder.

#include <cstddef>
#include <string_view>

namespace tamsel::setup {

// Counts components the way Windows path syntax splits a path:
// - '/' and '\' both separate;
// - a leading prefix is one component: a drive ("C:"), a server share ("\\server\share"),
//   a device path ("\\.\name") or a verbatim path ("\\?\" and the text up to the next
//   separator); a server share or device prefix is always followed by one root component;
// - after a drive or verbatim prefix, or at the start of a name without prefix, a separator
//   is one component (the root);
// - the rest is split at separators: empty pieces do not count, "." counts only as the first
//   piece of a name without root, ".." and every other piece count.
std::size_t windows_path_component_count(std::string_view name) noexcept;

// True when the name is exactly one component.
bool is_single_path_component(std::string_view name) noexcept;

}  // namespace tamsel::setup
