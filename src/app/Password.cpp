#include "app/Password.h"

#include "platform/gui/Digest.h"

const PasswordDigest kLockPasswordDigest = {
    0xc0, 0x94, 0x7b, 0xe3, 0x74, 0xfa, 0xd4, 0x8f, 0x21, 0x60, 0x92, 0x9d, 0xd5, 0x33, 0x45, 0x75,
    0xa0, 0x39, 0x64, 0xf8, 0x56, 0x5f, 0xc1, 0x8a, 0xad, 0x45, 0x7f, 0x03, 0x3a, 0xfb, 0x81, 0x0d,
};

PasswordDigest Sha256(std::string_view text) {
    PasswordDigest out{};
    // A failed hash leaves an all-zero digest, which matches nothing a user could type
    // (no known preimage).
    platform::Sha256(text, out);
    return out;
}

bool PasswordMatchesDigest(std::string_view typed, const PasswordDigest& digest) {
    PasswordDigest d = Sha256(typed);
    const bool same = platform::ConstantTimeEqual(d.data(), digest.data(), d.size());
    platform::WipeSecret(d.data(), d.size());
    return same;
}
