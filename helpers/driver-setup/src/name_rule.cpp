#include "name_rule.hpp"

namespace tamsel::setup {

namespace {

bool is_separator(char c) noexcept { return c == '/' || c == '\\'; }

bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Index of the first separator at or after `from`, or the size of the text.
std::size_t next_separator(std::string_view text, std::size_t from) noexcept {
    while (from < text.size() && !is_separator(text[from])) ++from;
    return from;
}

enum class PrefixKind { None, Drive, Verbatim, WithRoot };

struct Prefix {
    PrefixKind kind = PrefixKind::None;
    std::size_t length = 0;  // characters taken by the prefix
};

Prefix parse_prefix(std::string_view name) noexcept {
    if (name.size() >= 2 && is_separator(name[0]) && is_separator(name[1])) {
        if (name.size() >= 4 && (name[2] == '?' || name[2] == '.') && is_separator(name[3])) {
            // "\\?\x" (verbatim) or "\\.\x" (device): the prefix runs to the next separator.
            const std::size_t end = next_separator(name, 4);
            return {name[2] == '?' ? PrefixKind::Verbatim : PrefixKind::WithRoot, end};
        }
        // "\\server\share": needs a server name, a separator and the share.
        const std::size_t server_end = next_separator(name, 2);
        if (server_end > 2 && server_end < name.size()) {
            const std::size_t share_end = next_separator(name, server_end + 1);
            return {PrefixKind::WithRoot, share_end};
        }
        return {};
    }
    if (name.size() >= 2 && is_ascii_letter(name[0]) && name[1] == ':') return {PrefixKind::Drive, 2};
    return {};
}

}  // namespace

std::size_t windows_path_component_count(std::string_view name) noexcept {
    const Prefix prefix = parse_prefix(name);
    std::size_t count = prefix.kind == PrefixKind::None ? 0 : 1;
    std::size_t pos = prefix.length;
    bool has_root = false;
    if (prefix.kind == PrefixKind::WithRoot) {
        // A server share or device path always has its root, separator or not.
        ++count;
        has_root = true;
        if (pos < name.size()) ++pos;  // the separator after the prefix belongs to the root
    } else if (pos < name.size() && is_separator(name[pos])) {
        ++count;
        has_root = true;
        ++pos;
    }
    bool first_piece = true;
    while (pos <= name.size()) {
        const std::size_t end = next_separator(name, pos);
        const std::string_view piece = name.substr(pos, end - pos);
        if (piece.empty()) {
            // doubled or trailing separators
        } else if (piece == ".") {
            if (first_piece && !has_root) ++count;
        } else {
            ++count;
        }
        if (!piece.empty()) first_piece = false;
        if (end >= name.size()) break;
        pos = end + 1;
    }
    return count;
}

bool is_single_path_component(std::string_view name) noexcept { return windows_path_component_count(name) == 1; }

}  // namespace tamsel::setup
