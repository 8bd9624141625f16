#pragma once
// SHA-256 (FIPS 180-4) from the platform's cryptography: OpenSSL EVP on Linux
// (linux/src/sha256_openssl.cpp), CNG BCrypt on Windows (windows/src/sha256_bcrypt.cpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A digest taken in parts: the input is fed block by block, so no caller has to hold it whole.
class Sha256Stream {
public:
    // Fails only when the platform's hash provider cannot be used, with a text naming the call.
    static Result<Sha256Stream> start();

    Sha256Stream(Sha256Stream&&) noexcept;
    Sha256Stream& operator=(Sha256Stream&&) noexcept;
    ~Sha256Stream();

    // Adds `size` bytes at `data` (data may be null when size is 0).
    Status update(const std::uint8_t* data, std::size_t size);
    // The digest of everything added; the stream is used up.
    Result<Sha256Digest> finish();

    struct State;

private:
    explicit Sha256Stream(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// The digest of `size` bytes at `data` in one call.
Result<Sha256Digest> sha256(const std::uint8_t* data, std::size_t size);

// Two lower-case hexadecimal digits per byte, high nibble first (64 for a digest).
std::string to_lower_hex(std::span<const std::uint8_t> bytes);

}  // namespace tamsel::setup
