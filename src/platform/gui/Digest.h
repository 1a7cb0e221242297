#pragma once
// Hashing for the lock screen: the system's cryptography library (OpenSSL's libcrypto on
// Linux, CNG on Windows).
#include <array>
#include <cstddef>
#include <string_view>

namespace platform {

// SHA-256 of text; false when the library failed (the digest is then all zero).
bool Sha256(std::string_view text, std::array<unsigned char, 32>& out);

// Equality in a time that does not depend on where the bytes differ.
bool ConstantTimeEqual(const void* a, const void* b, size_t length);

// Overwrites a secret in a way the compiler may not drop as a dead store.
void WipeSecret(void* data, size_t length);

}  // namespace platform
