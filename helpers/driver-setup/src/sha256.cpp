// The platform-independent half of SHA-256: the one-call digest and the digest's text. The
// hashing itself comes from the platform's cryptography (linux/src/sha256_openssl.cpp,
// windows/src/sha256_bcrypt.cpp).
#include "sha256.hpp"

namespace tamsel::setup {

Result<Sha256Digest> sha256(const std::uint8_t* data, std::size_t size) {
    auto stream = Sha256Stream::start();
    if (!stream) return stream.error_result();
    const Status added = stream->update(data, size);
    if (!added) return added.error_result();
    return stream->finish();
}

std::string to_lower_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(DIGITS[byte >> 4]);
        text.push_back(DIGITS[byte & 0x0F]);
    }
    return text;
}

}  // namespace tamsel::setup
