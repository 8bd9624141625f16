// SHA-256 through OpenSSL's EVP digest interface.
#include <openssl/evp.h>

#include <memory>

#include "sha256.hpp"

namespace tamsel::setup {

struct Sha256Stream::State {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

Sha256Stream::Sha256Stream(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;
Sha256Stream::~Sha256Stream() = default;

Result<Sha256Stream> Sha256Stream::start() {
    auto state = std::make_unique<State>();
    if (!state->context) return fail("SHA-256: EVP_MD_CTX_new failed");
    if (EVP_DigestInit_ex(state->context.get(), EVP_sha256(), nullptr) != 1) {
        return fail("SHA-256: EVP_DigestInit_ex failed");
    }
    return Sha256Stream(std::move(state));
}

Status Sha256Stream::update(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(state_->context.get(), data, size) != 1) {
        return fail("SHA-256: EVP_DigestUpdate failed");
    }
    return ok();
}

Result<Sha256Digest> Sha256Stream::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return fail("SHA-256: EVP_DigestFinal_ex failed");
    }
    return digest;
}

}  // namespace tamsel::setup
