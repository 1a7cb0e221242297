#include "platform/gui/Digest.h"

#include <windows.h>
#include <bcrypt.h>

namespace platform {

bool Sha256(std::string_view text, std::array<unsigned char, 32>& out) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ok = ok && BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())),
                              static_cast<ULONG>(text.size()), 0) >= 0;
    ok = ok && BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0) >= 0;
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok) out.fill(0);
    return ok;
}

bool ConstantTimeEqual(const void* a, const void* b, size_t length) {
    const auto* x = static_cast<const volatile unsigned char*>(a);
    const auto* y = static_cast<const volatile unsigned char*>(b);
    unsigned char diff = 0;
    for (size_t i = 0; i < length; ++i) diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
}

void WipeSecret(void* data, size_t length) { SecureZeroMemory(data, length); }

}  // namespace platform
