#include "app/Password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

const PasswordDigest kLockPasswordDigest = {
    0xc0, 0x94, 0x7b, 0xe3, 0x74, 0xfa, 0xd4, 0x8f, 0x21, 0x60, 0x92, 0x9d, 0xd5, 0x33, 0x45, 0x75,
    0xa0, 0x39, 0x64, 0xf8, 0x56, 0x5f, 0xc1, 0x8a, 0xad, 0x45, 0x7f, 0x03, 0x3a, 0xfb, 0x81, 0x0d,
};

PasswordDigest Sha256(std::string_view text) {
    PasswordDigest out{};
    unsigned int len = 0;
    // EVP_Digest only fails on allocation failure; an all-zero digest then matches nothing
    // that a user could type (no known preimage).
    if (EVP_Digest(text.data(), text.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 ||
        len != out.size()) {
        out.fill(0);
    }
    return out;
}

bool PasswordMatchesDigest(std::string_view typed, const PasswordDigest& digest) {
    PasswordDigest d = Sha256(typed);
    const bool same = CRYPTO_memcmp(d.data(), digest.data(), d.size()) == 0;
    OPENSSL_cleanse(d.data(), d.size());
    return same;
}
