#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/TextFormat.h"

// An IP address as the wire carries it: the family and the address bytes in network order.
// Engines compare, hash and classify these; text is made only where an address is shown.
struct IpAddress {
    enum Family : uint8_t { None = 0, V4 = 4, V6 = 6 };
    uint8_t family = None;
    std::array<uint8_t, 16> bytes{};  // IPv4 in the first four, the rest zero

    static IpAddress FromV4(std::span<const uint8_t> four) {
        IpAddress a;
        if (four.size() < 4) return a;
        a.family = V4;
        std::memcpy(a.bytes.data(), four.data(), 4);
        return a;
    }
    static IpAddress FromV6(std::span<const uint8_t> sixteen) {
        IpAddress a;
        if (sixteen.size() < 16) return a;
        a.family = V6;
        std::memcpy(a.bytes.data(), sixteen.data(), 16);
        return a;
    }
    // A dotted IPv4 or an RFC 4291 IPv6 text (with or without brackets); nullopt otherwise.
    static std::optional<IpAddress> Parse(std::string_view text);

    bool Empty() const { return family == None; }
    size_t Size() const { return family == V4 ? 4 : family == V6 ? 16 : 0; }
    std::span<const uint8_t> Bytes() const { return std::span<const uint8_t>(bytes.data(), Size()); }
    // Dotted quad or RFC 5952 text; empty for None.
    std::string Text() const {
        if (family == V4) return DottedQuad(Bytes());
        if (family == V6) return Ipv6Text(Bytes());
        return std::string();
    }
    // RFC 1918 / RFC 4193 / link-local (169.254/16, fe80::/10): addresses a NAT hides.
    bool IsPrivate() const;
    bool IsLoopback() const;

    // Two 64-bit compares, inlined: the media lookups compare addresses for every packet.
    friend bool operator==(const IpAddress& a, const IpAddress& b) {
        if (a.family != b.family) return false;
        uint64_t x[2], y[2];
        std::memcpy(x, a.bytes.data(), sizeof x);
        std::memcpy(y, b.bytes.data(), sizeof y);
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    }
    friend bool operator<(const IpAddress& a, const IpAddress& b) {
        if (a.family != b.family) return a.family < b.family;
        return a.bytes < b.bytes;
    }
};

// An address with a UDP/TCP port.
struct Endpoint {
    IpAddress address;
    uint16_t port = 0;

    // "a.b.c.d:port" or "[v6]:port" (the packet log's form); nullopt for anything else.
    static std::optional<Endpoint> Parse(std::string_view text);
    // "a.b.c.d:port" or "[v6]:port", as the packet log writes endpoints.
    std::string Text() const {
        std::string s = address.Text();
        AppendPort(s, port);
        return s;
    }
    friend bool operator==(const Endpoint& a, const Endpoint& b) {
        return a.port == b.port && a.address == b.address;
    }
    friend bool operator<(const Endpoint& a, const Endpoint& b) {
        if (a.address == b.address) return a.port < b.port;
        return a.address < b.address;
    }
};

// FNV-1a over the family and the address bytes (and the port): cheap, and good enough for
// tables keyed by the few thousand endpoints a capture holds.
inline size_t HashBytes(size_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}
struct IpAddressHash {
    size_t operator()(const IpAddress& a) const {
        return HashBytes(1469598103934665603ull ^ a.family, a.bytes.data(), a.Size());
    }
};
struct EndpointHash {
    size_t operator()(const Endpoint& e) const {
        const uint8_t port[2] = {static_cast<uint8_t>(e.port >> 8), static_cast<uint8_t>(e.port)};
        return HashBytes(IpAddressHash{}(e.address), port, 2);
    }
};

// IP protocol numbers the engines look at (IANA "Assigned Internet Protocol Numbers").
inline constexpr uint8_t kIpProtoIcmp = 1;
inline constexpr uint8_t kIpProtoTcp = 6;
inline constexpr uint8_t kIpProtoUdp = 17;
inline constexpr uint8_t kIpProtoIcmpv6 = 58;
