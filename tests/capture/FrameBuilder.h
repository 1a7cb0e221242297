#pragma once
// Builds test frames byte by byte (big-endian on the wire), so the decoder is checked
// against what a packet really looks like rather than against its own structs.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "capture/Packet.h"

using Bytes = std::vector<uint8_t>;

// A decoded entry's payload as bytes to compare.
inline Bytes PayloadOf(const PacketLogEntry& e) {
    const auto p = e.Payload();
    return Bytes(p.begin(), p.end());
}
inline std::string PayloadText(const PacketLogEntry& e) {
    const auto p = e.Payload();
    return std::string(p.begin(), p.end());
}

inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void Put32(Bytes& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v));
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes Cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

inline Bytes Ipv4(uint32_t src, uint32_t dst, uint8_t protocol, const Bytes& body, uint8_t ttl = 64,
                  uint8_t ihlWords = 5) {
    Bytes h;
    h.push_back(static_cast<uint8_t>(0x40 | ihlWords));
    h.push_back(0);
    Put16(h, static_cast<uint16_t>(ihlWords * 4 + body.size()));
    Put16(h, 0x1234);
    Put16(h, 0);
    h.push_back(ttl);
    h.push_back(protocol);
    Put16(h, 0);  // checksum: the decoder doesn't look at it
    Put32(h, src);
    Put32(h, dst);
    while (h.size() < size_t{ihlWords} * 4) h.push_back(0x01);  // NOP options
    return Cat({h, body});
}

// One fragment of an IPv4 datagram: `data` is its share of the bytes after the IP header,
// starting `offsetBytes` (a multiple of 8) into them.
inline Bytes Ipv4Fragment(uint32_t src, uint32_t dst, uint8_t protocol, uint16_t identification,
                          uint16_t offsetBytes, bool more, const Bytes& data, uint8_t ttl = 64) {
    Bytes h{0x45, 0};
    Put16(h, static_cast<uint16_t>(20 + data.size()));
    Put16(h, identification);
    Put16(h, static_cast<uint16_t>((more ? 0x2000 : 0) | (offsetBytes / 8)));
    h.push_back(ttl);
    h.push_back(protocol);
    Put16(h, 0);
    Put32(h, src);
    Put32(h, dst);
    return Cat({h, data});
}

inline Bytes Udp(uint16_t sport, uint16_t dport, const Bytes& payload = {}) {
    Bytes u;
    Put16(u, sport);
    Put16(u, dport);
    Put16(u, static_cast<uint16_t>(8 + payload.size()));
    Put16(u, 0);
    return Cat({u, payload});
}

inline Bytes Tcp(uint16_t sport, uint16_t dport, uint8_t flags, const Bytes& payload = {}) {
    Bytes t;
    Put16(t, sport);
    Put16(t, dport);
    Put32(t, 1000);
    Put32(t, 2000);
    t.push_back(0x50);
    t.push_back(flags);
    Put16(t, 65535);
    Put16(t, 0);
    Put16(t, 0);
    return Cat({t, payload});
}

inline Bytes Icmp(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes& rest = {}) {
    Bytes i{type, code, 0, 0};
    Put16(i, id);
    Put16(i, seq);
    return Cat({i, rest});
}

// ICMP error whose body quotes `quoted` (an IPv4 datagram), cut to `quoteBytes` bytes.
inline Bytes IcmpError(uint8_t type, uint8_t code, const Bytes& quoted, size_t quoteBytes) {
    return Icmp(type, code, 0, 0, Cut(quoted, quoteBytes));
}

constexpr uint16_t kEthIpv4 = 0x0800;
inline Bytes Ethernet(uint16_t etherType, const Bytes& payload) {
    Bytes e{0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    Put16(e, etherType);
    return Cat({e, payload});
}
inline Bytes EthernetTagged(uint16_t vlan, uint16_t etherType, const Bytes& payload) {
    Bytes e{0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    Put16(e, 0x8100);
    Put16(e, vlan);
    Put16(e, etherType);
    return Cat({e, payload});
}
inline Bytes LinuxSll(uint16_t protocol, const Bytes& payload) {
    Bytes h;
    Put16(h, 0);      // packet type: to us
    Put16(h, 1);      // ARPHRD_ETHER
    Put16(h, 6);      // address length
    for (int i = 0; i < 8; ++i) h.push_back(i < 6 ? 0x02 : 0);
    Put16(h, protocol);
    return Cat({h, payload});
}
inline Bytes LinuxSll2(uint16_t protocol, const Bytes& payload) {
    Bytes h;
    Put16(h, protocol);
    Put16(h, 0);      // reserved
    Put32(h, 2);      // interface index
    Put16(h, 1);      // ARPHRD_ETHER
    h.push_back(0);   // packet type
    h.push_back(6);   // address length
    for (int i = 0; i < 8; ++i) h.push_back(i < 6 ? 0x02 : 0);
    return Cat({h, payload});
}
inline Bytes BsdLoopback(uint32_t family, bool networkOrder, const Bytes& payload) {
    Bytes h;
    if (networkOrder) {
        Put32(h, family);
    } else {
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(family >> (8 * i)));
    }
    return Cat({h, payload});
}

constexpr uint32_t Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

// IPv6 frames. Addresses are taken from their text with inet_pton, the platform's parser,
// so that the decoder's own formatting is checked against an independent reading.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

constexpr uint16_t kEthIpv6 = 0x86dd;
inline Bytes V6(const char* text) {
    Bytes a(16, 0);
    if (inet_pton(AF_INET6, text, a.data()) != 1) a.assign(16, 0xEE);
    return a;
}
inline Bytes Ipv6(const Bytes& src, const Bytes& dst, uint8_t nextHeader, const Bytes& body,
                  uint8_t hopLimit = 64) {
    Bytes h{0x60, 0, 0, 0};
    Put16(h, static_cast<uint16_t>(body.size()));
    h.push_back(nextHeader);
    h.push_back(hopLimit);
    return Cat({h, src, dst, body});
}
// Hop-by-hop / routing / destination options header of `units` 8-byte units in all,
// followed by `body`.
inline Bytes ExtensionHeader(uint8_t nextHeader, size_t units, const Bytes& body) {
    Bytes h{nextHeader, static_cast<uint8_t>(units - 1)};
    h.resize(units * 8, 0x00);
    return Cat({h, body});
}
inline Bytes FragmentHeader(uint8_t nextHeader, uint16_t offsetBytes, bool more, const Bytes& body,
                            uint32_t identification = 0xCAFE) {
    Bytes h{nextHeader, 0};
    Put16(h, static_cast<uint16_t>((offsetBytes & 0xFFF8) | (more ? 1 : 0)));
    Put32(h, identification);
    return Cat({h, body});
}
inline Bytes Icmpv6(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes& rest = {}) {
    return Icmp(type, code, id, seq, rest);  // same first eight bytes (RFC 4443)
}
