#pragma once
#include <cstdint>
#include <span>
#include <string>

// Small formatters for the decoder's hot path: plain decimal without leading zeros,
// dotted IPv4, upper-case hex bytes. Cheaper than snprintf per field.
inline void AppendDecimal(std::string& out, uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) out.push_back(digits[--n]);
}

inline std::string Decimal(uint32_t value) {
    std::string s;
    AppendDecimal(s, value);
    return s;
}

// Four bytes as "a.b.c.d"; `address` must hold at least four bytes.
inline std::string DottedQuad(std::span<const uint8_t> address) {
    std::string s;
    s.reserve(15);
    for (size_t i = 0; i < 4 && i < address.size(); ++i) {
        if (i) s.push_back('.');
        AppendDecimal(s, address[i]);
    }
    return s;
}

inline void AppendHexByte(std::string& out, uint8_t b, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0xF]);
}
