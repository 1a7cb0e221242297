#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <vector>

#include "probe/ProbePackets.h"

namespace {

// Independent checksum for cross-checking: sum of 16-bit words in 64-bit arithmetic,
// folded until it fits, then inverted. A correct checksum makes the covered data sum to
// 0xFFFF (RFC 1071 section 1, verification).
uint16_t OnesSum(const std::vector<uint8_t>& bytes) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2)
        sum += (uint64_t(bytes[i]) << 8) + (i + 1 < bytes.size() ? bytes[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

}  // namespace

TEST(ProbePackets, InternetChecksumMatchesRfc1071Examples) {
    // RFC 1071 section 3 example: words 0001 f203 f4f5 f6f7 sum to 0xddf2 (one's complement),
    // so the checksum is ~0xddf2 = 0x220d.
    const uint8_t rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(InternetChecksum(rfc, sizeof rfc), 0x220d);
    // An odd length pads the last byte with zero on the right.
    const uint8_t odd[] = {0x12, 0x34, 0x56};
    EXPECT_EQ(InternetChecksum(odd, 3), static_cast<uint16_t>(~(0x1234 + 0x5600) & 0xFFFF));
    // Carries that need two folds: 0xFFFF repeated.
    std::vector<uint8_t> ff(2000, 0xFF);
    EXPECT_EQ(InternetChecksum(ff.data(), ff.size()), 0x0000);
    EXPECT_EQ(InternetChecksum(nullptr, 0), 0xFFFF);
}

TEST(ProbePackets, IcmpEchoBytes) {
    auto b = BuildIcmpEcho(0xBEEF, 0x12345);  // only the low 16 bits of the sequence travel
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ(b[0], 8);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(Be16(&b[4]), 0xBEEF);
    EXPECT_EQ(Be16(&b[6]), 0x2345);
    for (size_t i = 8; i < 32; ++i) EXPECT_EQ(b[i], 0) << i;
    // Checksum by hand: 0x0800 + 0xBEEF + 0x2345 = 0xEA34 -> ~ = 0x15CB.
    EXPECT_EQ(Be16(&b[2]), 0x15CB);
    EXPECT_EQ(OnesSum({b.begin(), b.end()}), 0xFFFF);
    EXPECT_EQ(Be16(&BuildIcmpEcho(1, 65536)[6]), 0);
}

TEST(ProbePackets, UdpPortsAndPayload) {
    EXPECT_EQ(ProbePort(kProbeBasePort, 0), 33434);
    EXPECT_EQ(ProbePort(kProbeBasePort, 5), 33439);
    EXPECT_EQ(ProbePort(kProbeBasePort, 32101), 65535);
    EXPECT_EQ(ProbePort(kProbeBasePort, 32102), 0);  // why the engine wraps its counter first
    EXPECT_EQ(UdpProbePayload(7), "MTR_SEQ=7");
    EXPECT_EQ(UdpProbePayload(32101), "MTR_SEQ=32101");
    EXPECT_EQ(UdpProbePayload(0).size(), 9u);  // no terminating zero byte
}

TEST(ProbePackets, TcpSynFrameByteForByte) {
    TcpSynParams p;
    p.dstMac = {0x02, 0x00, 0x0a, 0xc8, 0x01, 0x02};
    p.srcMac = {0x02, 0x00, 0x0a, 0xc8, 0x01, 0x01};
    p.srcIpNet = Ip("10.200.1.1");
    p.dstIpNet = Ip("10.200.4.2");
    p.ipId = 0x1234;
    p.ttl = 3;
    p.basePort = 33434;
    p.seq = 3;
    auto f = BuildTcpSynFrame(p);
    ASSERT_EQ(f.size(), 54u);

    // Expected frame written out by hand (checksums at 24-25 and 50-51 checked below).
    const uint8_t expected[54] = {
        0x02, 0x00, 0x0a, 0xc8, 0x01, 0x02,  // destination MAC
        0x02, 0x00, 0x0a, 0xc8, 0x01, 0x01,  // source MAC
        0x08, 0x00,                          // IPv4
        0x45, 0x00, 0x00, 0x28,              // v4, IHL 5, TOS 0, total length 40
        0x12, 0x34, 0x00, 0x00,              // id, no flags
        0x03, 0x06, 0x00, 0x00,              // TTL 3, TCP, checksum (placeholder)
        10, 200, 1, 1,                       // source
        10, 200, 4, 2,                       // destination
        0x82, 0x9d, 0x00, 0x50,              // ports 33437 -> 80
        0x00, 0x00, 0x00, 0x03,              // sequence number = seq
        0x00, 0x00, 0x00, 0x00,              // ack
        0x50, 0x02, 0x20, 0x00,              // data offset 5, SYN, window 8192
        0x00, 0x00, 0x00, 0x00,              // checksum (placeholder), urgent 0
    };
    for (size_t i = 0; i < 54; ++i) {
        if (i == 24 || i == 25 || i == 50 || i == 51) continue;
        EXPECT_EQ(f[i], expected[i]) << "offset " << i;
    }

    // IPv4 header checksum: the header including its checksum sums to 0xFFFF.
    std::vector<uint8_t> ip(f.begin() + 14, f.begin() + 34);
    EXPECT_EQ(OnesSum(ip), 0xFFFF);
    // Hand computation: 4500+0028+1234+0000+0306+0000+0ac8+0101+0ac8+0402 = 0x74F5 -> ~ = 0x8B0A.
    EXPECT_EQ(Be16(&f[24]), 0x8B0A);

    // TCP checksum over pseudo-header + segment sums to 0xFFFF as well.
    std::vector<uint8_t> pseudo = {10, 200, 1, 1, 10, 200, 4, 2, 0, 6, 0, 20};
    pseudo.insert(pseudo.end(), f.begin() + 34, f.end());
    EXPECT_EQ(OnesSum(pseudo), 0xFFFF);
    EXPECT_NE(Be16(&f[50]), 0);

    EXPECT_EQ(Be32(&f[38]), 3u);
    p.ttl = 0x1FF;  // only the low 8 bits go into the TTL field
    p.seq = 40000;  // port (33434 + 40000) mod 65536
    auto g = BuildTcpSynFrame(p);
    EXPECT_EQ(g[22], 0xFF);
    EXPECT_EQ(Be16(&g[34]), (33434 + 40000) % 65536);
    std::vector<uint8_t> ip2(g.begin() + 14, g.begin() + 34);
    EXPECT_EQ(OnesSum(ip2), 0xFFFF);
}

namespace {

std::array<uint8_t, 16> V6Bytes(const char* text) {
    std::array<uint8_t, 16> a{};
    inet_pton(AF_INET6, text, a.data());
    return a;
}

}  // namespace

TEST(ProbePackets, Icmpv6EchoLeavesTheChecksumToTheKernel) {
    const auto b = BuildIcmpv6Echo(0xBEEF, 0x12345);
    EXPECT_EQ(b.size(), 32u);
    EXPECT_EQ(b[0], 128);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(Be16(&b[2]), 0);  // the kernel fills it, knowing the source address
    EXPECT_EQ(Be16(&b[4]), 0xBEEF);
    EXPECT_EQ(Be16(&b[6]), 0x2345);
    for (size_t i = 8; i < b.size(); ++i) EXPECT_EQ(b[i], 0) << i;
}

// The IPv6 SYN: header fields, the same TCP segment as over IPv4, and a checksum that sums
// to 0xFFFF with the IPv6 pseudo-header built here independently.
TEST(ProbePackets, TcpSyn6FrameAndPseudoHeaderChecksum) {
    TcpSyn6Params p;
    p.dstMac = {0x02, 0, 0x0a, 0xc8, 1, 2};
    p.srcMac = {0x02, 0, 0x0a, 0xc8, 1, 1};
    p.srcIp = V6Bytes("fd00:200:1::1");
    p.dstIp = V6Bytes("2001:db8:ffff::80");
    p.hopLimit = 5;
    p.seq = 7;
    const auto f = BuildTcpSyn6Frame(p);
    ASSERT_EQ(f.size(), 74u);
    EXPECT_EQ(Be16(&f[12]), 0x86dd);
    const uint8_t* ip = &f[14];
    EXPECT_EQ(ip[0], 0x60);
    EXPECT_EQ(Be16(&ip[4]), 20);
    EXPECT_EQ(ip[6], 6);
    EXPECT_EQ(ip[7], 5);
    EXPECT_TRUE(std::equal(p.srcIp.begin(), p.srcIp.end(), ip + 8));
    EXPECT_TRUE(std::equal(p.dstIp.begin(), p.dstIp.end(), ip + 24));
    const uint8_t* tcp = &f[54];
    EXPECT_EQ(Be16(&tcp[0]), 33434 + 7);
    EXPECT_EQ(Be16(&tcp[2]), 80);
    EXPECT_EQ(Be32(&tcp[4]), 7u);
    EXPECT_EQ(tcp[13], 0x02);

    std::vector<uint8_t> covered(p.srcIp.begin(), p.srcIp.end());
    covered.insert(covered.end(), p.dstIp.begin(), p.dstIp.end());
    for (uint8_t b : {0, 0, 0, 20, 0, 0, 0, 6}) covered.push_back(b);
    covered.insert(covered.end(), tcp, tcp + 20);
    EXPECT_EQ(OnesSum(covered), 0xFFFF);
    // The IPv4 pseudo-header would give another sum: the families are not mixed up.
    TcpSyn6Params q = p;
    q.srcIp = V6Bytes("fd00:200:1::2");
    EXPECT_NE(Be16(&BuildTcpSyn6Frame(q)[54 + 16]), Be16(&tcp[16]));
}
