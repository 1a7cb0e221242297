// The decoder on frames built here: lengths, link layer, IPv4 and transport rules, replies.
#include <gtest/gtest.h>

#include "lib/TestEnv.h"

#include <cstdlib>
#include <ctime>

#include "FrameBuilder.h"
#include "capture/Decode.h"

namespace {

struct Decoded {
    DecodeResult result;
    PacketLogEntry entry;
    SniffResult reply;
};

Decoded DecodeBytes(const Bytes& frame, int linkType = kLinkEthernet, FrameHeader header = {1700000000, 517000, 0}) {
    Decoded d;
    if (header.wireLength == 0) header.wireLength = static_cast<uint32_t>(frame.size());
    d.result = DecodeFrame(linkType, header, frame, d.entry, d.reply);
    return d;
}

const uint32_t kRouter = Addr(192, 0, 2, 1);
const uint32_t kUs = Addr(10, 0, 0, 5);
const uint32_t kTarget = Addr(198, 51, 100, 7);

Bytes UdpProbe(uint16_t dport) { return Ipv4(kUs, kTarget, 17, Udp(40000, dport, Bytes(12, 0xAB)), 1); }
Bytes EchoProbe(uint16_t seq) { return Ipv4(kUs, kTarget, 1, Icmp(8, 0, 0x4242, seq, Bytes(16, 0)), 1); }
Bytes TcpProbe(uint16_t sport) { return Ipv4(kUs, kTarget, 6, Tcp(sport, 80, 0x02), 1); }

TEST(DecodeEthernet, FramesBelowLinkPlusIpv4HeaderAreNotDecoded) {
    const Bytes full = Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 17, Udp(53, 33440)));
    for (size_t n : {0u, 13u, 14u, 20u, 33u}) {
        Decoded d = DecodeBytes(Cut(full, n));
        EXPECT_FALSE(d.result.deliver) << n;
        EXPECT_FALSE(d.result.reply) << n;
        EXPECT_EQ(d.result.status, DecodeStatus::Truncated) << n;
    }
    // 34 bytes: the IPv4 header is complete, the UDP header is not.
    Decoded d = DecodeBytes(Cut(full, 34));
    ASSERT_TRUE(d.result.deliver);
    EXPECT_EQ(d.result.status, DecodeStatus::Truncated);
    EXPECT_EQ(d.entry.source, "192.0.2.1");
    EXPECT_EQ(d.entry.protocol, "UDP");
    EXPECT_EQ(d.entry.info, "[TTL=64] ");
    EXPECT_TRUE(PayloadOf(d.entry).empty());
}

TEST(DecodeEthernet, OneVlanTagMovesTheNetworkHeaderTo18) {
    const Bytes tagged = EthernetTagged(100, kEthIpv4, Ipv4(kRouter, kUs, 17, Udp(53, 33440, {1, 2, 3})));
    EXPECT_FALSE(DecodeBytes(Cut(tagged, 17)).result.deliver);
    EXPECT_FALSE(DecodeBytes(Cut(tagged, 37)).result.deliver);  // 18 + 19
    Decoded d = DecodeBytes(tagged);
    ASSERT_TRUE(d.result.deliver);
    EXPECT_EQ(d.entry.source, "192.0.2.1:53");
    EXPECT_EQ(d.entry.destination, "10.0.0.5:33440");
    EXPECT_EQ(PayloadOf(d.entry), (Bytes{1, 2, 3}));
    EXPECT_EQ(d.entry.rawData, tagged);

    // A tagged ARP frame: the hex dump still starts at offset 14, with the tag's TCI.
    Bytes arp{0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    arp.resize(28, 0x0A);
    Decoded a = DecodeBytes(EthernetTagged(5, 0x0806, arp));
    EXPECT_EQ(a.entry.protocol, "Eth 0x806");
    EXPECT_EQ(a.entry.info, "[Hex: 00 05 08 06 00 01 08 00 06 04 ]");
}

TEST(DecodeEthernet, ArpGetsTheHexDumpAndNoReplyAndACutIpv6HeaderToo) {
    Bytes arp{0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01, 0x0A, 0x1B, 0xFF, 0xEE};
    arp.resize(28, 0);
    Decoded a = DecodeBytes(Ethernet(0x0806, arp));
    ASSERT_TRUE(a.result.deliver);
    EXPECT_FALSE(a.result.reply);
    EXPECT_EQ(a.result.status, DecodeStatus::NotMine);
    EXPECT_EQ(a.entry.protocol, "Eth 0x806");
    EXPECT_EQ(a.entry.info, "[Hex: 00 01 08 00 06 04 00 01 0A 1B ]");
    EXPECT_TRUE(PayloadOf(a.entry).empty());
    EXPECT_EQ(a.entry.source, "02:00:00:00:00:01");

    // An IPv6 header cut before its 40 bytes cannot be read: the hex dump, counted truncated.
    Bytes ipv6(39, 0);
    ipv6[0] = 0x60;
    Decoded v6 = DecodeBytes(Ethernet(0x86dd, ipv6));
    EXPECT_EQ(v6.entry.protocol, "Eth 0x86dd");
    EXPECT_EQ(v6.entry.info, "[Hex: 60 00 00 00 00 00 00 00 00 00 ]");
    EXPECT_EQ(v6.result.status, DecodeStatus::Truncated);
    EXPECT_FALSE(v6.result.reply);
}

TEST(DecodeIpv4Fields, OtherProtocolKeepsTheTtlText) {
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 47, Bytes{9, 8, 7}, 64)));
    EXPECT_EQ(d.entry.protocol, "Other (47)");
    EXPECT_EQ(d.entry.info, "[TTL=64] ");
    EXPECT_EQ(d.entry.source, "192.0.2.1");
    EXPECT_EQ(d.entry.destination, "10.0.0.5");
    EXPECT_EQ(PayloadOf(d.entry), (Bytes{9, 8, 7}));
    EXPECT_EQ(d.result.status, DecodeStatus::Decoded);
    EXPECT_FALSE(d.result.reply);
}

TEST(DecodeIpv4Fields, OnlyTheFirstFragmentIsReadAsTransport) {
    Bytes frame = Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 17, Udp(5060, 5060, Bytes(20, 'x'))));
    frame[14 + 6] = 0x20;  // more fragments, offset 0: the first fragment has the UDP header
    Decoded first = DecodeBytes(frame);
    EXPECT_EQ(first.entry.source, "192.0.2.1:5060");
    EXPECT_EQ(PayloadOf(first.entry).size(), 20u);
    frame[14 + 7] = 185;  // offset 185 * 8 = 1480: the middle of the datagram
    Decoded later = DecodeBytes(frame);
    EXPECT_EQ(later.result.status, DecodeStatus::Decoded);
    EXPECT_EQ(later.entry.protocol, "UDP");
    EXPECT_EQ(later.entry.source, "192.0.2.1");
    EXPECT_EQ(later.entry.info, "[TTL=64] [Fragment Offset=1480]");
    EXPECT_TRUE(PayloadOf(later.entry).empty());
    EXPECT_FALSE(later.result.reply);
}

TEST(DecodeIpv4Fields, TimeLengthsAndRawData) {
    UseUtcLocalTime();
    const Bytes frame = Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 17, Udp(53, 33440)));
    Decoded d = DecodeBytes(frame, kLinkEthernet, {1700000001, 5999, 1514});
    EXPECT_EQ(d.entry.time, "22:13:21.005");
    EXPECT_EQ(d.entry.tsSec, 1700000001u);
    EXPECT_EQ(d.entry.tsUsec, 5999u);
    EXPECT_EQ(d.entry.wireLength, 1514u);
    EXPECT_EQ(d.entry.rawData, frame);
    EXPECT_EQ(d.entry.linkType, kLinkEthernet);
}

TEST(DecodeIpv4Fields, HeaderOptionsMoveTheTransportHeader) {
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 17, Udp(5060, 5062, {0x55}), 64, 7)));
    EXPECT_EQ(d.entry.source, "192.0.2.1:5060");
    EXPECT_EQ(d.entry.destination, "10.0.0.5:5062");
    EXPECT_EQ(PayloadOf(d.entry), (Bytes{0x55}));
}

TEST(DecodeIpv4Fields, ImpossibleHeaderLengthsStayInsideTheFrame) {
    // IHL 15 announces 60 bytes but only 20 + 4 are captured: no ports, no payload.
    Bytes ip = Ipv4(kRouter, kUs, 17, Udp(53, 33440));
    ip[0] = 0x4F;
    Decoded big = DecodeBytes(Ethernet(kEthIpv4, Cut(ip, 24)));
    ASSERT_TRUE(big.result.deliver);
    EXPECT_EQ(big.entry.source, "192.0.2.1");
    EXPECT_TRUE(PayloadOf(big.entry).empty());
    // IHL 0 is impossible; the bytes are shown as they are but the frame counts as malformed.
    ip[0] = 0x40;
    Decoded zero = DecodeBytes(Ethernet(kEthIpv4, ip));
    EXPECT_TRUE(zero.result.deliver);
    EXPECT_EQ(zero.result.status, DecodeStatus::Malformed);
    // Version 6 in an IPv4 EtherType frame: malformed as well.
    ip[0] = 0x65;
    EXPECT_EQ(DecodeBytes(Ethernet(kEthIpv4, ip)).result.status, DecodeStatus::Malformed);
}

TEST(DecodeUdp, PortsWhenTheHeaderIsCaptured) {
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 17, Udp(53, 33440, {0xDE, 0xAD}))));
    EXPECT_EQ(d.entry.source, "192.0.2.1:53");
    EXPECT_EQ(d.entry.destination, "10.0.0.5:33440");
    EXPECT_EQ(d.entry.protocol, "UDP");
    EXPECT_EQ(d.entry.info, "Src=53 Dst=33440");
    EXPECT_EQ(PayloadOf(d.entry), (Bytes{0xDE, 0xAD}));
    EXPECT_FALSE(d.result.reply);  // UDP is never a reply
    EXPECT_EQ(d.result.status, DecodeStatus::Decoded);
}

TEST(DecodeIcmp, EchoReplyAndEchoRequest) {
    Decoded reply = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, Icmp(0, 0, 0x9999, 517))), kLinkEthernet,
                        {1700000000, 250, 0});
    EXPECT_EQ(reply.entry.info, "Echo Reply (Type=0)");
    ASSERT_TRUE(reply.result.reply);
    EXPECT_TRUE(reply.reply.valid);
    EXPECT_EQ(reply.reply.fromIp, "198.51.100.7");
    EXPECT_EQ(reply.reply.origSeq, 517);
    EXPECT_EQ(reply.reply.type, 0);
    EXPECT_EQ(reply.reply.code, 0);
    EXPECT_EQ(reply.reply.timestamp, (int64_t{1700000000} * 1000000 + 250) * 10);
    // What identifies the answered probe: it went to the replying address with this identifier.
    EXPECT_EQ(reply.reply.kind, ReplyKind::EchoReply);
    EXPECT_EQ(reply.reply.probeDst, "198.51.100.7");
    EXPECT_EQ(reply.reply.probeIdent, 0x9999);

    Decoded request = DecodeBytes(Ethernet(kEthIpv4, EchoProbe(12)));
    EXPECT_EQ(request.entry.info, "Echo Request (Type=8)");
    EXPECT_FALSE(request.result.reply);

    Decoded unknown = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, Icmp(13, 0, 1, 1))));
    EXPECT_EQ(unknown.entry.info, "Unknown (Type=13)");
    EXPECT_FALSE(unknown.result.reply);

    Decoded cut = DecodeBytes(Ethernet(kEthIpv4, Cut(Ipv4(kTarget, kUs, 1, Icmp(0, 0, 1, 1)), 27)));
    EXPECT_EQ(cut.entry.info, "[TTL=64] ");
    EXPECT_FALSE(cut.result.reply);
    EXPECT_EQ(cut.result.status, DecodeStatus::Truncated);
}

TEST(DecodeIcmp, TimeExceededQuotingAnEchoRequest) {
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 1, IcmpError(11, 0, EchoProbe(4711), 28))));
    EXPECT_EQ(d.entry.info, "Time Exceeded (Type=11) [InnerProto=1]");
    ASSERT_TRUE(d.result.reply);
    EXPECT_EQ(d.reply.fromIp, "192.0.2.1");
    EXPECT_EQ(d.reply.origSeq, 4711);
    EXPECT_EQ(d.reply.type, 11);
    EXPECT_EQ(d.reply.code, 0);
    EXPECT_EQ(d.reply.kind, ReplyKind::QuotedIcmp);
    EXPECT_EQ(d.reply.probeDst, "198.51.100.7");  // the quoted destination, not the router
    EXPECT_EQ(d.reply.probeIdent, 0x4242);
    // Only 20 + 4 bytes of the echo request quoted: the sequence number is missing.
    Decoded cut = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 1, IcmpError(11, 0, EchoProbe(4711), 24))));
    EXPECT_EQ(cut.entry.info, "Time Exceeded (Type=11) [InnerProto=1]");
    EXPECT_FALSE(cut.result.reply);
}

TEST(DecodeIcmp, TimeExceededQuotingAUdpProbe) {
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 1, IcmpError(11, 1, UdpProbe(33440), 28))));
    EXPECT_EQ(d.entry.info, "Time Exceeded (Type=11) [InnerProto=17] [InnerDport=33440]");
    ASSERT_TRUE(d.result.reply);
    EXPECT_EQ(d.reply.origSeq, 33440);
    EXPECT_EQ(d.reply.type, 11);
    EXPECT_EQ(d.reply.code, 1);
    EXPECT_EQ(d.reply.kind, ReplyKind::QuotedUdp);
    EXPECT_EQ(d.reply.probeDst, "198.51.100.7");
    EXPECT_EQ(d.reply.probeSrcPort, 40000);
    EXPECT_EQ(d.reply.probeDstPort, 33440);
    EXPECT_EQ(PayloadOf(d.entry).size(), 8u + 28u);  // ICMP counts no transport header: all of it
}

TEST(DecodeIcmp, DestUnreachableWithShortQuotes) {
    // 20 + 4 bytes of a quoted TCP header are enough for its source port.
    Decoded tcp = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, IcmpError(3, 13, TcpProbe(33500), 24))));
    EXPECT_EQ(tcp.entry.info, "Dest Unreachable (Type=3) [InnerProto=6] [InnerSport=33500]");
    ASSERT_TRUE(tcp.result.reply);
    EXPECT_EQ(tcp.reply.origSeq, 33500);
    EXPECT_EQ(tcp.reply.type, 3);
    EXPECT_EQ(tcp.reply.code, 13);
    EXPECT_EQ(tcp.reply.kind, ReplyKind::QuotedTcp);
    EXPECT_EQ(tcp.reply.probeSrcPort, 33500);
    EXPECT_EQ(tcp.reply.probeDstPort, 80);
    // ... but not for a UDP destination port, which needs 20 + 8.
    Decoded udp = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, IcmpError(3, 3, UdpProbe(33440), 24))));
    EXPECT_EQ(udp.entry.info, "Dest Unreachable (Type=3) [InnerProto=17] [TooShort for UDP]");
    EXPECT_FALSE(udp.result.reply);
    EXPECT_EQ(udp.result.status, DecodeStatus::Truncated);
    Decoded tcpShort = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, IcmpError(3, 3, TcpProbe(33500), 22))));
    EXPECT_EQ(tcpShort.entry.info, "Dest Unreachable (Type=3) [InnerProto=6] [TooShort for TCP]");
    EXPECT_FALSE(tcpShort.result.reply);
    Decoded noInner = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, IcmpError(3, 3, UdpProbe(33440), 19))));
    EXPECT_EQ(noInner.entry.info, "Dest Unreachable (Type=3) [TooShort for InnerIP]");
    EXPECT_FALSE(noInner.result.reply);
    // A quoted protocol the probes never use.
    Decoded gre = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 1, IcmpError(3, 3, Ipv4(kUs, kTarget, 47, Bytes(8, 0)), 28))));
    EXPECT_EQ(gre.entry.info, "Dest Unreachable (Type=3) [InnerProto=47]");
    EXPECT_FALSE(gre.result.reply);
}

TEST(DecodeIcmp, QuotedHeaderWithOptions) {
    // The quoted IPv4 header carries options: the UDP port sits after them.
    Bytes quoted = Ipv4(kUs, kTarget, 17, Udp(40000, 33555), 1, 6);
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 1, IcmpError(11, 0, quoted, 32))));
    EXPECT_EQ(d.entry.info, "Time Exceeded (Type=11) [InnerProto=17] [InnerDport=33555]");
    EXPECT_EQ(d.reply.origSeq, 33555);
    Decoded cut = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 1, IcmpError(11, 0, quoted, 31))));
    EXPECT_FALSE(cut.result.reply);
}

TEST(DecodeTcp, AnswersToSynProbes) {
    Decoded synAck = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, 33440, 0x12))));
    EXPECT_EQ(synAck.entry.info, "TCP SYN ACK Src=80 Dst=33440");
    EXPECT_EQ(synAck.entry.source, "198.51.100.7:80");
    ASSERT_TRUE(synAck.result.reply);
    EXPECT_EQ(synAck.reply.origSeq, 33440);
    EXPECT_EQ(synAck.reply.type, 0);
    EXPECT_EQ(synAck.reply.code, 0);
    // The probe went to the segment's source: its ports are the segment's, swapped.
    EXPECT_EQ(synAck.reply.kind, ReplyKind::TcpSegment);
    EXPECT_EQ(synAck.reply.probeDst, "198.51.100.7");
    EXPECT_EQ(synAck.reply.probeSrcPort, 33440);
    EXPECT_EQ(synAck.reply.probeDstPort, 80);

    Decoded rst = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, 33440, 0x04))));
    EXPECT_EQ(rst.entry.info, "TCP RST Src=80 Dst=33440");
    ASSERT_TRUE(rst.result.reply);
    EXPECT_EQ(rst.reply.type, 3);
    EXPECT_EQ(rst.reply.code, 3);

    Decoded rstAck = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, 33440, 0x14))));
    EXPECT_EQ(rstAck.entry.info, "TCP ACK RST Src=80 Dst=33440");
    EXPECT_EQ(rstAck.reply.type, 0);

    Decoded fin = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, 33434, 0x01))));
    EXPECT_EQ(fin.entry.info, "TCP Src=80 Dst=33434");
    EXPECT_TRUE(fin.result.reply);
    EXPECT_EQ(fin.reply.type, 0);

    EXPECT_FALSE(DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, 443, 0x12)))).result.reply);
    EXPECT_FALSE(DecodeBytes(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, 33433, 0x12)))).result.reply);
}

TEST(DecodeTcp, PayloadAfterDataOffsetAndShortHeaders) {
    Bytes seg = Tcp(5060, 5060, 0x18, {'S', 'I', 'P'});
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 6, seg)));
    EXPECT_EQ(PayloadOf(d.entry), (Bytes{'S', 'I', 'P'}));
    // 19 bytes of TCP header: no ports, the whole tail is payload.
    Decoded cut = DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 6, Cut(seg, 19))));
    EXPECT_EQ(cut.entry.source, "192.0.2.1");
    EXPECT_EQ(cut.entry.info, "[TTL=64] ");
    EXPECT_EQ(PayloadOf(cut.entry).size(), 19u);
    EXPECT_FALSE(cut.result.reply);
    // A data offset below 5 is impossible.
    seg[12] = 0x20;
    EXPECT_EQ(DecodeBytes(Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 6, seg))).result.status, DecodeStatus::Malformed);
}

TEST(DecodeLinkTypes, UnknownLinkTypeIsNotDecoded) {
    Decoded d = DecodeBytes(Ethernet(kEthIpv4, UdpProbe(33440)), 127);
    EXPECT_FALSE(d.result.deliver);
    EXPECT_EQ(d.result.status, DecodeStatus::NotMine);
    EXPECT_FALSE(IsSupportedLinkType(127));
}

}  // namespace
