// SHA-256 through OpenSSL's EVP digest interface.
#include <openssl/evp.h>

#include <memory>

#include "sha256.hpp"

namespace tamsel::setup {

Result<Sha256Digest> sha256(const std::uint8_t* data, std::size_t size) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context) return fail("SHA-256: EVP_MD_CTX_new failed");
    if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return fail("SHA-256: EVP_DigestInit_ex failed");
    if (size > 0 && EVP_DigestUpdate(context.get(), data, size) != 1) return fail("SHA-256: EVP_DigestUpdate failed");
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return fail("SHA-256: EVP_DigestFinal_ex failed");
    }
    return digest;
}

}  // namespace tamsel::setup
