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

std::array<uint8_t, kIcmpEchoSize> BuildIcmpEcho(uint16_t identifier, int32_t seq, bool fixedFlow) {
    std::array<uint8_t, kIcmpEchoSize> b{};
    b[0] = 8;
    b[1] = 0;
    PutBe16(&b[4], identifier);
    PutBe16(&b[6], static_cast<uint16_t>(seq & 0xFFFF));
    // seq + ~seq = 0xFFFF whatever seq is: the sum, and so the checksum, stays the same.
    if (fixedFlow) PutBe16(&b[8], static_cast<uint16_t>(~seq & 0xFFFF));
    PutBe16(&b[2], InternetChecksum(b.data(), b.size()));
    return b;
}

std::array<uint8_t, kIcmpEchoSize> BuildIcmpv6Echo(uint16_t identifier, int32_t seq, bool fixedFlow) {
    std::array<uint8_t, kIcmpEchoSize> b{};
    b[0] = 128;
    PutBe16(&b[4], identifier);
    PutBe16(&b[6], static_cast<uint16_t>(seq & 0xFFFF));
    if (fixedFlow) PutBe16(&b[8], static_cast<uint16_t>(~seq & 0xFFFF));
    return b;
}

namespace {
uint32_t PseudoSum4(uint32_t srcIpNet, uint32_t dstIpNet, size_t length) {
    uint8_t pseudo[12];
    std::memcpy(&pseudo[0], &srcIpNet, 4);
    std::memcpy(&pseudo[4], &dstIpNet, 4);
    pseudo[8] = 0;
    pseudo[9] = 17;
    PutBe16(&pseudo[10], static_cast<uint16_t>(length));
    return SumWords(pseudo, 12, 0);
}
uint32_t PseudoSum6(const std::array<uint8_t, 16>& src, const std::array<uint8_t, 16>& dst, size_t length) {
    uint8_t pseudo[40];
    std::memcpy(&pseudo[0], src.data(), 16);
    std::memcpy(&pseudo[16], dst.data(), 16);
    PutBe32(&pseudo[32], static_cast<uint32_t>(length));
    PutBe32(&pseudo[36], 17);
    return SumWords(pseudo, 40, 0);
}
uint16_t UdpFinish(uint32_t sum) {
    const uint16_t c = Fold(sum);
    return c == 0 ? 0xFFFF : c;  // RFC 768: a computed zero is sent as all ones
}
// The fixed-flow payload: "MTR_FLOW", seq, then the compensation word that turns the sum
// into the one whose complement is UdpFlowChecksum(seq).
std::array<uint8_t, kUdpFlowPayloadSize> FlowPayload(uint32_t pseudoSum, uint16_t srcPort, uint16_t dstPort,
                                                     int32_t seq) {
    std::array<uint8_t, kUdpFlowPayloadSize> p{};
    std::memcpy(p.data(), kProbeFlowMagic, kProbeFlowMagicLength);
    PutBe16(&p[8], static_cast<uint16_t>(seq & 0xFFFF));
    uint8_t header[8];
    PutBe16(&header[0], srcPort);
    PutBe16(&header[2], dstPort);
    PutBe16(&header[4], static_cast<uint16_t>(8 + kUdpFlowPayloadSize));
    PutBe16(&header[6], 0);
    uint32_t sum = SumWords(p.data(), p.size(), SumWords(header, 8, pseudoSum));
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    // Wanted: the folded sum S + W equals ~checksum. In one's complement W = ~checksum - S,
    // which is ~checksum + ~S.
    const uint32_t want = static_cast<uint16_t>(~UdpFlowChecksum(seq));
    uint32_t w = want + (~sum & 0xFFFF);
    w = (w >> 16) + (w & 0xFFFF);
    w += w >> 16;
    PutBe16(&p[10], static_cast<uint16_t>(w));
    return p;
}
}  // namespace

uint16_t UdpChecksum(uint32_t srcIpNet, uint32_t dstIpNet, const uint8_t* udp, size_t length) {
    return UdpFinish(SumWords(udp, length, PseudoSum4(srcIpNet, dstIpNet, length)));
}

uint16_t UdpChecksum6(const std::array<uint8_t, 16>& srcIp, const std::array<uint8_t, 16>& dstIp, const uint8_t* udp,
                      size_t length) {
    return UdpFinish(SumWords(udp, length, PseudoSum6(srcIp, dstIp, length)));
}

std::array<uint8_t, kUdpFlowPayloadSize> BuildUdpFlowPayload(uint32_t srcIpNet, uint32_t dstIpNet, uint16_t srcPort,
                                                             uint16_t dstPort, int32_t seq) {
    return FlowPayload(PseudoSum4(srcIpNet, dstIpNet, 8 + kUdpFlowPayloadSize), srcPort, dstPort, seq);
}

std::array<uint8_t, kUdpFlowPayloadSize> BuildUdpFlowPayload6(const std::array<uint8_t, 16>& srcIp,
                                                              const std::array<uint8_t, 16>& dstIp, uint16_t srcPort,
                                                              uint16_t dstPort, int32_t seq) {
    return FlowPayload(PseudoSum6(srcIp, dstIp, 8 + kUdpFlowPayloadSize), srcPort, dstPort, seq);
}

namespace {
// The SYN both frame kinds carry (20 bytes, checksum left zero).
void PutTcpSyn(uint8_t* tcp, int32_t basePort, int32_t seq, bool fixedFlow) {
    PutBe16(&tcp[0], fixedFlow ? ProbePort(basePort, 0) : ProbePort(basePort, seq));
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
    ip[0] = static_cast<uint8_t>(0x60 | p.trafficClass >> 4);
    ip[1] = static_cast<uint8_t>((p.trafficClass & 0x0F) << 4);
    PutBe16(&ip[4], 20);  // payload length
    ip[6] = 6;
    ip[7] = static_cast<uint8_t>(p.hopLimit & 0xFF);
    std::memcpy(&ip[8], p.srcIp.data(), 16);
    std::memcpy(&ip[24], p.dstIp.data(), 16);
    uint8_t* tcp = &f[54];
    PutTcpSyn(tcp, p.basePort, p.seq, p.fixedFlow);
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
    ip[1] = p.tos;
    PutBe16(&ip[2], 40);
    PutBe16(&ip[4], p.ipId);
    PutBe16(&ip[6], 0);
    ip[8] = static_cast<uint8_t>(p.ttl & 0xFF);
    ip[9] = 6;
    std::memcpy(&ip[12], &p.srcIpNet, 4);  // already in network order
    std::memcpy(&ip[16], &p.dstIpNet, 4);
    PutBe16(&ip[10], InternetChecksum(ip, 20));
    uint8_t* tcp = &f[34];
    PutTcpSyn(tcp, p.basePort, p.seq, p.fixedFlow);
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
