#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

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

// Sixteen bytes as an IPv6 address in the canonical text form of RFC 5952: lower-case hex
// without leading zeros, the longest run of two or more zero groups (the first of equal
// runs) as "::", and the mapped form "::ffff:a.b.c.d" for IPv4-mapped addresses. Written
// here rather than taken from inet_ntop so that every platform prints the same text.
inline std::string Ipv6Text(std::span<const uint8_t> address) {
    if (address.size() < 16) return std::string();
    uint16_t groups[8];
    for (size_t i = 0; i < 8; ++i)
        groups[i] = static_cast<uint16_t>((address[2 * i] << 8) | address[2 * i + 1]);
    const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                        groups[4] == 0 && groups[5] == 0xFFFF;
    if (mapped) return "::ffff:" + DottedQuad(address.subspan(12, 4));
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    if (bestLength < 2) bestStart = -1;
    std::string s;
    s.reserve(39);
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            s += "::";
            i += bestLength - 1;
            continue;
        }
        if (!s.empty() && s.back() != ':') s.push_back(':');
        bool leading = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int nibble = (groups[i] >> shift) & 0xF;
            if (leading && nibble == 0 && shift != 0) continue;
            leading = false;
            s.push_back(digits[nibble]);
        }
    }
    return s;
}

// Appends ":port" to an address text; an IPv6 address (it has colons of its own) is put in
// brackets first, so that the port can always be found after the last ':' and the address
// before it.
inline void AppendPort(std::string& endpoint, uint16_t port) {
    if (endpoint.find(':') != std::string::npos) {
        endpoint.insert(endpoint.begin(), '[');
        endpoint.push_back(']');
    }
    endpoint.push_back(':');
    AppendDecimal(endpoint, port);
}

// The address of an endpoint text made by AppendPort ("a.b.c.d:port", "[v6]:port"), or of a
// bare address ("a.b.c.d", "2001:db8::1"), without brackets.
inline std::string_view EndpointAddress(std::string_view endpoint) {
    if (!endpoint.empty() && endpoint.front() == '[') {
        const size_t close = endpoint.find(']');
        return close == std::string_view::npos ? endpoint.substr(1) : endpoint.substr(1, close - 1);
    }
    const size_t colon = endpoint.find(':');
    if (colon == std::string_view::npos) return endpoint;
    // More than one colon without brackets: a bare IPv6 address, no port.
    if (endpoint.find(':', colon + 1) != std::string_view::npos) return endpoint;
    return endpoint.substr(0, colon);
}

// The port text of an endpoint made by AppendPort; empty for a bare address.
inline std::string_view EndpointPortText(std::string_view endpoint) {
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string_view::npos) return {};
    if (!endpoint.empty() && endpoint.front() == '[') {
        const size_t close = endpoint.find(']');
        return close != std::string_view::npos && colon == close + 1 ? endpoint.substr(colon + 1) : std::string_view{};
    }
    if (endpoint.find(':') != colon) return {};  // bare IPv6 address
    return endpoint.substr(colon + 1);
}
