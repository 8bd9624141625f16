// SHA-256 through Windows CNG (bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

#include <memory>
#include <string>

#include "sha256.hpp"

namespace tamsel::setup {

namespace {

std::string ntstatus_text(const char* call, NTSTATUS status) {
    char code[11];
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    auto value = static_cast<unsigned long>(status);
    code[0] = '0';
    code[1] = 'x';
    for (int i = 9; i >= 2; --i) {
        code[i] = DIGITS[value & 0xF];
        value >>= 4;
    }
    code[10] = '\0';
    return std::string("SHA-256: ") + call + " failed (" + code + ")";
}

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

// The algorithm provider and the hash object, closed on every path.
struct Sha256Stream::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256Stream::Sha256Stream(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;
Sha256Stream::~Sha256Stream() = default;

Result<Sha256Stream> Sha256Stream::start() {
    auto state = std::make_unique<State>();
    NTSTATUS status = BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!succeeded(status)) return fail(ntstatus_text("BCryptOpenAlgorithmProvider", status));
    // With no hash object buffer given, CNG allocates and frees the object itself.
    status = BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0);
    if (!succeeded(status)) return fail(ntstatus_text("BCryptCreateHash", status));
    return Sha256Stream(std::move(state));
}

Status Sha256Stream::update(const std::uint8_t* data, std::size_t size) {
    // BCryptHashData takes a ULONG length: feed large inputs in parts.
    std::size_t left = size;
    const std::uint8_t* p = data;
    while (left > 0) {
        const ULONG part = left > 0x40000000u ? 0x40000000u : static_cast<ULONG>(left);
        const NTSTATUS status = BCryptHashData(state_->hash, const_cast<PUCHAR>(p), part, 0);
        if (!succeeded(status)) return fail(ntstatus_text("BCryptHashData", status));
        p += part;
        left -= part;
    }
    return ok();
}

Result<Sha256Digest> Sha256Stream::finish() {
    Sha256Digest digest{};
    const NTSTATUS status = BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    if (!succeeded(status)) return fail(ntstatus_text("BCryptFinishHash", status));
    return digest;
}

}  // namespace tamsel::setup
