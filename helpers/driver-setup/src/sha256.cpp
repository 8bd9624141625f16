// The platform-independent half of SHA-256: the digest's text. The hashing itself comes from
// the platform's cryptography (linux/src/sha256_openssl.cpp, windows/src/sha256_bcrypt.cpp).
#include "sha256.hpp"

namespace tamsel::setup {

std::string to_lower_hex(const Sha256Digest& digest) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        text.push_back(DIGITS[byte >> 4]);
        text.push_back(DIGITS[byte & 0x0F]);
    }
    return text;
}

}  // namespace tamsel::setup
