// IPv6 frames through the decoder: address text, extension headers, fragments, ICMPv6
// replies to the three probe kinds, and frames cut at every length.
#include <gtest/gtest.h>

#include "FrameBuilder.h"
#include "capture/Decode.h"
#include "capture/TextFormat.h"

namespace {

struct Decoded {
    DecodeResult result;
    PacketLogEntry entry;
    SniffResult reply;
};

Decoded DecodeBytes(const Bytes& frame, int linkType = kLinkEthernet) {
    Decoded d;
    FrameHeader header{1700000000, 250000, static_cast<uint32_t>(frame.size())};
    d.result = DecodeFrame(linkType, header, frame, d.entry, d.reply);
    return d;
}

const Bytes kUs = V6("2001:db8:1::5");
const Bytes kRouter = V6("2001:db8:ff::1");
const Bytes kTarget = V6("2001:db8:2::7");

constexpr uint8_t kHopByHop = 0, kTcp = 6, kUdp = 17, kRouting = 43, kFragment = 44, kIcmpv6 = 58,
                  kDestOpts = 60;

Bytes UdpProbe(uint16_t dport) { return Ipv6(kUs, kTarget, kUdp, Udp(40000, dport, Bytes(12, 0xAB)), 1); }
Bytes EchoProbe(uint16_t ident, uint16_t seq) {
    return Ipv6(kUs, kTarget, kIcmpv6, Icmpv6(128, 0, ident, seq, Bytes(16, 0)), 1);
}
Bytes TcpProbe(uint16_t sport) { return Ipv6(kUs, kTarget, kTcp, Tcp(sport, 80, 0x02), 1); }
Bytes ErrorFrom(const Bytes& from, uint8_t type, uint8_t code, const Bytes& quoted) {
    return Ethernet(kEthIpv6, Ipv6(from, kUs, kIcmpv6, Icmpv6(type, code, 0, 0, quoted)));
}

TEST(Ipv6Text, CanonicalFormOfRfc5952) {
    const std::pair<const char*, const char*> cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"::1", "::1"},
        {"::", "::"},
        {"fe80::", "fe80::"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // equal runs: the first shrinks
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run shrinks
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"fd00:a:b:c:d:e:f:10", "fd00:a:b:c:d:e:f:10"},
        {"0:0:0:0:0:0:0:ffff", "::ffff"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Ipv6Text(V6(in)), out) << in;
    EXPECT_EQ(Ipv6Text(Bytes(15, 0)), "");  // never reads past a short span
}

TEST(Ipv6Text, PortsFollowBracketedAddressesOnly) {
    std::string v6 = "2001:db8::1";
    AppendPort(v6, 5060);
    EXPECT_EQ(v6, "[2001:db8::1]:5060");
    std::string v4 = "192.0.2.1";
    AppendPort(v4, 53);
    EXPECT_EQ(v4, "192.0.2.1:53");
}

TEST(DecodeIpv6, UdpAfterOptionHeadersGivesPortsAndPayload) {
    const Bytes udp = Udp(5060, 5080, {'S', 'I', 'P'});
    const Bytes frame = Ethernet(kEthIpv6, Ipv6(kUs, kTarget, kHopByHop,
                                                ExtensionHeader(kDestOpts, 1, ExtensionHeader(kUdp, 2, udp)), 57));
    Decoded d = DecodeBytes(frame);
    ASSERT_TRUE(d.result.deliver);
    EXPECT_EQ(d.result.status, DecodeStatus::Decoded);
    EXPECT_EQ(d.entry.protocol, "UDP");
    EXPECT_EQ(d.entry.source, "[2001:db8:1::5]:5060");
    EXPECT_EQ(d.entry.destination, "[2001:db8:2::7]:5080");
    EXPECT_EQ(d.entry.info, "Src=5060 Dst=5080");
    EXPECT_EQ(PayloadOf(d.entry), (Bytes{'S', 'I', 'P'}));
    EXPECT_EQ(d.entry.rawData, frame);
    EXPECT_FALSE(d.result.reply);

    // Without a transport the hop limit stands where IPv4 puts the TTL.
    Decoded other = DecodeBytes(Ethernet(kEthIpv6, Ipv6(kUs, kTarget, 47, {1, 2}, 3)));
    EXPECT_EQ(other.entry.protocol, "Other (47)");
    EXPECT_EQ(other.entry.info, "[HopLimit=3] ");
    EXPECT_EQ(other.entry.source, "2001:db8:1::5");
    EXPECT_EQ(PayloadOf(other.entry), (Bytes{1, 2}));
}

TEST(DecodeIpv6, OnlyTheFirstFragmentIsReadAsTransport) {
    const Bytes sip = Udp(5060, 5060, Bytes(20, 'x'));
    Decoded first = DecodeBytes(Ethernet(kEthIpv6, Ipv6(kUs, kTarget, kFragment, FragmentHeader(kUdp, 0, true, sip))));
    EXPECT_EQ(first.entry.source, "[2001:db8:1::5]:5060");
    EXPECT_EQ(PayloadOf(first.entry).size(), 20u);

    // A later fragment's bytes look like a UDP header but are the middle of the datagram.
    Decoded later = DecodeBytes(
        Ethernet(kEthIpv6, Ipv6(kUs, kTarget, kRouting, ExtensionHeader(kFragment, 1, FragmentHeader(kUdp, 1232, false, sip)))));
    EXPECT_EQ(later.result.status, DecodeStatus::Decoded);
    EXPECT_EQ(later.entry.protocol, "UDP");
    EXPECT_EQ(later.entry.source, "2001:db8:1::5");
    EXPECT_EQ(later.entry.info, "[HopLimit=64] [Fragment Offset=1232]");
    EXPECT_TRUE(PayloadOf(later.entry).empty());
    EXPECT_FALSE(later.result.reply);
}

TEST(DecodeIpv6, ExtensionChainIsBoundedByTheCaptureAndByItsLength) {
    // A routing header that claims more bytes than were captured.
    Bytes cut = Ipv6(kUs, kTarget, kRouting, ExtensionHeader(kUdp, 1, Udp(1, 2)));
    cut[40 + 1] = 200;
    Decoded d = DecodeBytes(Ethernet(kEthIpv6, cut));
    EXPECT_EQ(d.result.status, DecodeStatus::Truncated);
    EXPECT_EQ(d.entry.protocol, "Other (43)");
    EXPECT_EQ(d.entry.info, "[HopLimit=64] [TooShort for ExtHdr]");
    EXPECT_TRUE(PayloadOf(d.entry).empty());

    // Nine option headers in a row: no real sender does that.
    Bytes chain = Udp(1, 2);
    for (int i = 0; i < 9; ++i) chain = ExtensionHeader(i == 0 ? kUdp : kDestOpts, 1, chain);
    Decoded many = DecodeBytes(Ethernet(kEthIpv6, Ipv6(kUs, kTarget, kDestOpts, chain)));
    EXPECT_EQ(many.result.status, DecodeStatus::Malformed);
    EXPECT_EQ(many.entry.info, "[HopLimit=64] [Too Many ExtHdr]");
    // Eight are still read.
    Bytes eight = Udp(1, 2);
    for (int i = 0; i < 8; ++i) eight = ExtensionHeader(i == 0 ? kUdp : kDestOpts, 1, eight);
    EXPECT_EQ(DecodeBytes(Ethernet(kEthIpv6, Ipv6(kUs, kTarget, kDestOpts, eight))).entry.info, "Src=1 Dst=2");
}

TEST(DecodeIcmpv6, ErrorsQuotingTheThreeProbeKindsAreReplies) {
    Decoded udp = DecodeBytes(ErrorFrom(kRouter, 3, 0, UdpProbe(33440)));
    ASSERT_TRUE(udp.result.reply);
    EXPECT_EQ(udp.entry.protocol, "ICMPv6");
    EXPECT_EQ(udp.entry.info, "Time Exceeded (Type=3) [InnerProto=17] [InnerDport=33440]");
    EXPECT_EQ(udp.reply.kind, ReplyKind::QuotedUdp);
    EXPECT_EQ(udp.reply.fromIp, "2001:db8:ff::1");
    EXPECT_EQ(udp.reply.probeDst, "2001:db8:2::7");
    EXPECT_EQ(udp.reply.origSeq, 33440);
    EXPECT_EQ(udp.reply.probeSrcPort, 40000);
    EXPECT_EQ(udp.reply.type, 11);  // in ICMP terms for the engine
    EXPECT_EQ(udp.reply.code, 0);
    EXPECT_EQ(udp.reply.timestamp, (1700000000LL * 1000000 + 250000) * 10);

    // Port unreachable from the target ends a UDP trace as ICMP type 3 code 3 does.
    Decoded done = DecodeBytes(ErrorFrom(kTarget, 1, 4, UdpProbe(33441)));
    ASSERT_TRUE(done.result.reply);
    EXPECT_EQ(done.entry.info, "Dest Unreachable (Type=1) [InnerProto=17] [InnerDport=33441]");
    EXPECT_EQ(done.reply.type, 3);
    EXPECT_EQ(done.reply.code, 3);

    Decoded echo = DecodeBytes(ErrorFrom(kRouter, 3, 0, EchoProbe(0x4242, 9)));
    ASSERT_TRUE(echo.result.reply);
    EXPECT_EQ(echo.entry.info, "Time Exceeded (Type=3) [InnerProto=58]");
    EXPECT_EQ(echo.reply.kind, ReplyKind::QuotedIcmp);
    EXPECT_EQ(echo.reply.probeIdent, 0x4242);
    EXPECT_EQ(echo.reply.origSeq, 9);

    Decoded tcp = DecodeBytes(ErrorFrom(kRouter, 3, 0, Cut(TcpProbe(33436), 44)));  // 4 TCP bytes
    ASSERT_TRUE(tcp.result.reply);
    EXPECT_EQ(tcp.entry.info, "Time Exceeded (Type=3) [InnerProto=6] [InnerSport=33436]");
    EXPECT_EQ(tcp.reply.kind, ReplyKind::QuotedTcp);
    EXPECT_EQ(tcp.reply.probeSrcPort, 33436);
    EXPECT_EQ(tcp.reply.probeDstPort, 80);

    // The probe's own extension headers are quoted too and walked.
    const Bytes probeWithOptions =
        Ipv6(kUs, kTarget, kDestOpts, ExtensionHeader(kUdp, 1, Udp(40000, 33450, Bytes(4, 0))), 1);
    Decoded opts = DecodeBytes(ErrorFrom(kRouter, 3, 0, probeWithOptions));
    ASSERT_TRUE(opts.result.reply);
    EXPECT_EQ(opts.reply.origSeq, 33450);
}

TEST(DecodeIcmpv6, WhatIsNotAReply) {
    // Cut quotes: the inner header, then the UDP header.
    Decoded shortIp = DecodeBytes(ErrorFrom(kRouter, 3, 0, Cut(UdpProbe(33440), 39)));
    EXPECT_FALSE(shortIp.result.reply);
    EXPECT_EQ(shortIp.result.status, DecodeStatus::Truncated);
    EXPECT_EQ(shortIp.entry.info, "Time Exceeded (Type=3) [TooShort for InnerIP]");
    Decoded shortUdp = DecodeBytes(ErrorFrom(kRouter, 3, 0, Cut(UdpProbe(33440), 44)));
    EXPECT_FALSE(shortUdp.result.reply);
    EXPECT_EQ(shortUdp.entry.info, "Time Exceeded (Type=3) [InnerProto=17] [TooShort for UDP]");

    // An error about a neighbour solicitation quotes ICMPv6 that is no echo request.
    const Bytes ns = Ipv6(kUs, kTarget, kIcmpv6, Icmpv6(135, 0, 0, 0, Bytes(16, 0)), 255);
    EXPECT_FALSE(DecodeBytes(ErrorFrom(kRouter, 1, 3, ns)).result.reply);

    Decoded request = DecodeBytes(Ethernet(kEthIpv6, EchoProbe(1, 2)));
    EXPECT_FALSE(request.result.reply);
    EXPECT_EQ(request.entry.info, "Echo Request (Type=128)");
    Decoded solicitation = DecodeBytes(Ethernet(kEthIpv6, ns));
    EXPECT_FALSE(solicitation.result.reply);
    EXPECT_EQ(solicitation.entry.info, "Neighbor Solicitation (Type=135)");
    EXPECT_EQ(DecodeBytes(ErrorFrom(kRouter, 2, 0, UdpProbe(33440))).entry.info, "Packet Too Big (Type=2)");
    EXPECT_FALSE(DecodeBytes(ErrorFrom(kRouter, 2, 0, UdpProbe(33440))).result.reply);
}

TEST(DecodeIcmpv6, EchoRepliesAndTcpAnswersFromTheTarget) {
    Decoded echo = DecodeBytes(Ethernet(kEthIpv6, Ipv6(kTarget, kUs, kIcmpv6, Icmpv6(129, 0, 0x77, 12))));
    ASSERT_TRUE(echo.result.reply);
    EXPECT_EQ(echo.entry.info, "Echo Reply (Type=129)");
    EXPECT_EQ(echo.reply.kind, ReplyKind::EchoReply);
    EXPECT_EQ(echo.reply.probeDst, "2001:db8:2::7");
    EXPECT_EQ(echo.reply.probeIdent, 0x77);
    EXPECT_EQ(echo.reply.origSeq, 12);
    EXPECT_EQ(echo.reply.type, 0);

    Decoded synAck = DecodeBytes(Ethernet(kEthIpv6, Ipv6(kTarget, kUs, kTcp, Tcp(80, 33440, 0x12))));
    ASSERT_TRUE(synAck.result.reply);
    EXPECT_EQ(synAck.entry.info, "TCP SYN ACK Src=80 Dst=33440");
    EXPECT_EQ(synAck.entry.source, "[2001:db8:2::7]:80");
    EXPECT_EQ(synAck.reply.kind, ReplyKind::TcpSegment);
    EXPECT_EQ(synAck.reply.probeDst, "2001:db8:2::7");
    EXPECT_EQ(synAck.reply.origSeq, 33440);
    Decoded rst = DecodeBytes(Ethernet(kEthIpv6, Ipv6(kTarget, kUs, kTcp, Tcp(80, 33440, 0x04))));
    EXPECT_EQ(rst.reply.type, 3);
    EXPECT_EQ(rst.reply.code, 3);
}

TEST(DecodeIpv6, EveryCutOfARichFrameStaysInsideTheCapture) {
    // Link header, hop-by-hop, ICMPv6 error quoting a probe with a fragment header: every
    // prefix decodes without reading past its end (the sanitizers watch), and nothing cut
    // inside a header claims to be complete (the last 8 bytes are the probe's payload).
    const Bytes quoted = Ipv6(kUs, kTarget, kFragment, FragmentHeader(kUdp, 0, true, Udp(40000, 33440, Bytes(8, 1))), 1);
    const Bytes frame = Ethernet(kEthIpv6, Ipv6(kRouter, kUs, kHopByHop,
                                                ExtensionHeader(kIcmpv6, 1, Icmpv6(3, 0, 0, 0, quoted))));
    ASSERT_TRUE(DecodeBytes(frame).result.reply);
    for (size_t n = 0; n < frame.size(); ++n) {
        Decoded d = DecodeBytes(Cut(frame, n));
        if (d.result.deliver && n < frame.size() - 8) {
            EXPECT_NE(d.result.status, DecodeStatus::Decoded) << n;
        }
        // The reply needs the whole quoted UDP header, as over IPv4.
        EXPECT_EQ(d.result.reply, n >= frame.size() - 8) << n;
    }
}

}  // namespace
