#include "capture/NetAddress.h"

namespace {

std::optional<uint32_t> Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}

bool ParseV4(std::string_view text, uint8_t* out) {
    int part = 0;
    size_t i = 0;
    while (part < 4) {
        uint32_t value = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        out[part++] = static_cast<uint8_t>(value);
        if (part < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

// RFC 4291 section 2.2 text: eight groups, one "::", an embedded dotted quad at the end.
bool ParseV6(std::string_view text, uint8_t* out) {
    uint16_t head[8] = {}, tail[8] = {};
    int nHead = 0, nTail = 0;
    bool gap = false;
    size_t i = 0;
    if (text.starts_with("::")) {
        gap = true;
        i = 2;
    }
    while (i < text.size()) {
        const size_t groupStart = i;
        uint32_t value = 0;
        size_t digits = 0;
        while (i < text.size() && Hex(text[i]) && digits < 5) {
            value = value * 16 + *Hex(text[i]);
            ++i;
            ++digits;
        }
        if (i < text.size() && text[i] == '.') {  // a trailing IPv4 part
            uint8_t v4[4];
            if (!ParseV4(text.substr(groupStart), v4)) return false;
            uint16_t* groups = gap ? tail : head;
            int& n = gap ? nTail : nHead;
            if (nHead + nTail + 2 > 8) return false;
            groups[n++] = static_cast<uint16_t>((v4[0] << 8) | v4[1]);
            groups[n++] = static_cast<uint16_t>((v4[2] << 8) | v4[3]);
            i = text.size();
            break;
        }
        if (digits == 0 || digits > 4) return false;
        uint16_t* groups = gap ? tail : head;
        int& n = gap ? nTail : nHead;
        if (nHead + nTail >= 8) return false;
        groups[n++] = static_cast<uint16_t>(value);
        if (i == text.size()) break;
        if (text[i] != ':') return false;
        ++i;
        if (i < text.size() && text[i] == ':') {
            if (gap) return false;
            gap = true;
            ++i;
        } else if (i == text.size()) {
            return false;  // a single trailing colon
        }
    }
    if (gap ? nHead + nTail > 7 : nHead != 8) return false;
    uint16_t groups[8] = {};
    for (int g = 0; g < nHead; ++g) groups[g] = head[g];
    for (int g = 0; g < nTail; ++g) groups[8 - nTail + g] = tail[g];
    for (int g = 0; g < 8; ++g) {
        out[2 * g] = static_cast<uint8_t>(groups[g] >> 8);
        out[2 * g + 1] = static_cast<uint8_t>(groups[g]);
    }
    return true;
}

}  // namespace

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    IpAddress a;
    if (text.find(':') == std::string_view::npos) {
        if (!ParseV4(text, a.bytes.data())) return std::nullopt;
        a.family = V4;
        return a;
    }
    if (!ParseV6(text, a.bytes.data())) return std::nullopt;
    a.family = V6;
    return a;
}

bool IpAddress::IsPrivate() const {
    const uint8_t* b = bytes.data();
    if (family == V4) {
        return b[0] == 10 || (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168) ||
               (b[0] == 169 && b[1] == 254);
    }
    if (family == V6) return (b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80);
    return false;
}

bool IpAddress::IsLoopback() const {
    if (family == V4) return bytes[0] == 127;
    if (family == V6) {
        for (int i = 0; i < 15; ++i)
            if (bytes[i] != 0) return false;
        return bytes[15] == 1;
    }
    return false;
}

std::optional<Endpoint> Endpoint::Parse(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= text.size()) return std::nullopt;
    std::string_view address = text.substr(0, colon);
    if (address.find(':') != std::string_view::npos) {  // IPv6 needs its brackets here
        if (address.size() < 2 || address.front() != '[' || address.back() != ']') return std::nullopt;
    }
    uint32_t port = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || i - colon > 5) return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (port > 65535) return std::nullopt;
    const std::optional<IpAddress> ip = IpAddress::Parse(address);
    if (!ip) return std::nullopt;
    return Endpoint{*ip, static_cast<uint16_t>(port)};
}
