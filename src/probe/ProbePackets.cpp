#include "probe/ProbePackets.h"

#include <cstdio>
#include <cstring>

namespace {
void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t SumWords(const uint8_t* data, size_t length, uint32_t sum) {
    for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (length & 1) sum += static_cast<uint32_t>(data[length - 1]) << 8;
    return sum;
}
uint16_t Fold(uint32_t sum) {
    // Two folds are enough for any sum of fewer than 65537 words.
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}
}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t length) { return Fold(SumWords(data, length, 0)); }

std::string UdpProbePayload(int32_t seq) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "MTR_SEQ=%d", seq);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::array<uint8_t, kIcmpEchoSize> BuildIcmpEcho(uint16_t identifier, int32_t seq) {
    std::array<uint8_t, kIcmpEchoSize> b{};
    b[0] = 8;
    b[1] = 0;
    PutBe16(&b[4], identifier);
    PutBe16(&b[6], static_cast<uint16_t>(seq & 0xFFFF));
    PutBe16(&b[2], InternetChecksum(b.data(), b.size()));
    return b;
}

std::array<uint8_t, kIcmpEchoSize> BuildIcmpv6Echo(uint16_t identifier, int32_t seq) {
    std::array<uint8_t, kIcmpEchoSize> b{};
    b[0] = 128;
    PutBe16(&b[4], identifier);
    PutBe16(&b[6], static_cast<uint16_t>(seq & 0xFFFF));
    return b;
}

namespace {
// The SYN both frame kinds carry (20 bytes, checksum left zero).
void PutTcpSyn(uint8_t* tcp, int32_t basePort, int32_t seq) {
    PutBe16(&tcp[0], ProbePort(basePort, seq));
    PutBe16(&tcp[2], kProbeTcpPort);
    PutBe32(&tcp[4], static_cast<uint32_t>(seq));
    PutBe32(&tcp[8], 0);
    tcp[12] = 0x50;
    tcp[13] = 0x02;
    PutBe16(&tcp[14], 8192);
    PutBe16(&tcp[18], 0);
}
}  // namespace

std::array<uint8_t, kTcpSyn6FrameSize> BuildTcpSyn6Frame(const TcpSyn6Params& p) {
    std::array<uint8_t, kTcpSyn6FrameSize> f{};
    std::memcpy(&f[0], p.dstMac.data(), 6);
    std::memcpy(&f[6], p.srcMac.data(), 6);
    PutBe16(&f[12], 0x86dd);
    uint8_t* ip = &f[14];
    ip[0] = 0x60;
    PutBe16(&ip[4], 20);  // payload length
    ip[6] = 6;
    ip[7] = static_cast<uint8_t>(p.hopLimit & 0xFF);
    std::memcpy(&ip[8], p.srcIp.data(), 16);
    std::memcpy(&ip[24], p.dstIp.data(), 16);
    uint8_t* tcp = &f[54];
    PutTcpSyn(tcp, p.basePort, p.seq);
    // Pseudo-header: source, destination, 32-bit upper-layer length, 3 zero bytes, next header.
    uint8_t pseudo[40];
    std::memcpy(&pseudo[0], p.srcIp.data(), 16);
    std::memcpy(&pseudo[16], p.dstIp.data(), 16);
    PutBe32(&pseudo[32], 20);
    PutBe32(&pseudo[36], 6);
    PutBe16(&tcp[16], Fold(SumWords(tcp, 20, SumWords(pseudo, 40, 0))));
    return f;
}

std::array<uint8_t, kTcpSynFrameSize> BuildTcpSynFrame(const TcpSynParams& p) {
    std::array<uint8_t, kTcpSynFrameSize> f{};
    std::memcpy(&f[0], p.dstMac.data(), 6);
    std::memcpy(&f[6], p.srcMac.data(), 6);
    PutBe16(&f[12], 0x0800);
    uint8_t* ip = &f[14];
    ip[0] = 0x45;
    ip[1] = 0;
    PutBe16(&ip[2], 40);
    PutBe16(&ip[4], p.ipId);
    PutBe16(&ip[6], 0);
    ip[8] = static_cast<uint8_t>(p.ttl & 0xFF);
    ip[9] = 6;
    std::memcpy(&ip[12], &p.srcIpNet, 4);  // already in network order
    std::memcpy(&ip[16], &p.dstIpNet, 4);
    PutBe16(&ip[10], InternetChecksum(ip, 20));
    uint8_t* tcp = &f[34];
    PutTcpSyn(tcp, p.basePort, p.seq);
    // TCP checksum covers the pseudo-header (RFC 793 3.1): addresses, zero, protocol, length.
    uint8_t pseudo[12];
    std::memcpy(&pseudo[0], &p.srcIpNet, 4);
    std::memcpy(&pseudo[4], &p.dstIpNet, 4);
    pseudo[8] = 0;
    pseudo[9] = 6;
    PutBe16(&pseudo[10], 20);
    PutBe16(&tcp[16], Fold(SumWords(tcp, 20, SumWords(pseudo, 12, 0))));
    return f;
}
