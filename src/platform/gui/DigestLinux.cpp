#include "platform/gui/Digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace platform {

bool Sha256(std::string_view text, std::array<unsigned char, 32>& out) {
    unsigned int len = 0;
    // EVP_Digest only fails on allocation failure.
    if (EVP_Digest(text.data(), text.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size()) {
        out.fill(0);
        return false;
    }
    return true;
}

bool ConstantTimeEqual(const void* a, const void* b, size_t length) { return CRYPTO_memcmp(a, b, length) == 0; }

void WipeSecret(void* data, size_t length) { OPENSSL_cleanse(data, length); }

}  // namespace platform
