#pragma once
#include <array>
#include <string_view>

// SHA-256 digest of the lock screen's access password. Only the digest is built into the
// program, so the clear text can't be read out of the executable with `strings`.
using PasswordDigest = std::array<unsigned char, 32>;

extern const PasswordDigest kLockPasswordDigest;

PasswordDigest Sha256(std::string_view text);

// True when `typed` hashes to `digest`. The digests are compared in constant time, so the
// time taken does not tell how many leading bytes were right.
bool PasswordMatchesDigest(std::string_view typed, const PasswordDigest& digest);
