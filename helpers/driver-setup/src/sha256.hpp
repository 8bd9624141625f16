#pragma once
// SHA-256 (FIPS 180-4) from the platform's cryptography: OpenSSL EVP on Linux
// (linux/src/sha256_openssl.cpp), CNG BCrypt on Windows (windows/src/sha256_bcrypt.cpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of `size` bytes at `data` (data may be null when size is 0). Fails only when the
// platform's hash provider cannot be used, with a text naming the failing call.
Result<Sha256Digest> sha256(const std::uint8_t* data, std::size_t size);

// 64 lower-case hexadecimal digits, high nibble first.
std::string to_lower_hex(const Sha256Digest& digest);

}  // namespace tamsel::setup
