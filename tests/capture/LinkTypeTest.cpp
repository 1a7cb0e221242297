// The same IPv4 packets seen through every link type the decoder knows give the same fields.
#include <gtest/gtest.h>

#include <functional>

#include "FrameBuilder.h"
#include "capture/Decode.h"

namespace {

struct Wrapping {
    const char* name;
    int linkType;
    size_t networkOffset;
    std::function<Bytes(uint16_t etherType, const Bytes&)> wrap;
};

// BSD loopback families: 2 is AF_INET everywhere; 30 is macOS's AF_INET6.
uint32_t FamilyOf(uint16_t etherType) { return etherType == 0x0800 ? 2 : etherType == 0x86dd ? 30 : 7; }

std::vector<Wrapping> Wrappings() {
    return {
        {"Ethernet", kLinkEthernet, 14, [](uint16_t t, const Bytes& p) { return Ethernet(t, p); }},
        {"EthernetVlan", kLinkEthernet, 18, [](uint16_t t, const Bytes& p) { return EthernetTagged(7, t, p); }},
        {"LinuxSll", kLinkLinuxSll, 16, [](uint16_t t, const Bytes& p) { return LinuxSll(t, p); }},
        {"LinuxSllVlan", kLinkLinuxSll, 20,
         [](uint16_t t, const Bytes& p) {
             Bytes tag;
             Put16(tag, 7);
             Put16(tag, t);
             return LinuxSll(0x8100, Cat({tag, p}));
         }},
        {"LinuxSll2", kLinkLinuxSll2, 20, [](uint16_t t, const Bytes& p) { return LinuxSll2(t, p); }},
        {"NullHostOrderLE", kLinkNull, 4, [](uint16_t t, const Bytes& p) { return BsdLoopback(FamilyOf(t), false, p); }},
        {"NullHostOrderBE", kLinkNull, 4, [](uint16_t t, const Bytes& p) { return BsdLoopback(FamilyOf(t), true, p); }},
        {"Loop", kLinkLoop, 4, [](uint16_t t, const Bytes& p) { return BsdLoopback(FamilyOf(t), true, p); }},
        {"Raw", kLinkRaw, 0, [](uint16_t, const Bytes& p) { return p; }},
        {"RawIpv4", kLinkRawIpv4, 0, [](uint16_t, const Bytes& p) { return p; }},
    };
}

const uint32_t kRouter = Addr(192, 0, 2, 1);
const uint32_t kUs = Addr(10, 0, 0, 5);
const uint32_t kTarget = Addr(198, 51, 100, 7);

std::vector<Bytes> Packets() {
    return {
        Ipv4(kRouter, kUs, 17, Udp(5060, 5080, {'I', 'N', 'V'})),
        Ipv4(kRouter, kUs, 1, IcmpError(11, 0, Ipv4(kUs, kTarget, 17, Udp(40000, 33441)), 28)),
        Ipv4(kTarget, kUs, 1, IcmpError(3, 3, Ipv4(kUs, kTarget, 6, Tcp(33460, 80, 2)), 24)),
        Ipv4(kTarget, kUs, 6, Tcp(80, 33440, 0x12)),
        Ipv4(kTarget, kUs, 1, Icmp(0, 0, 1, 99)),
        Ipv4(kRouter, kUs, 47, Bytes(30, 1), 12),
    };
}

struct Outcome {
    DecodeResult result;
    PacketLogEntry entry;
    SniffResult reply;
};

Outcome Decode(int linkType, const Bytes& frame) {
    Outcome o;
    o.result = DecodeFrame(linkType, {1700000000, 1000, static_cast<uint32_t>(frame.size())}, frame, o.entry, o.reply);
    return o;
}

TEST(DecodeLinkTypes, SameIpv4PacketsGiveTheSameFields) {
    for (const Bytes& packet : Packets()) {
        const Outcome reference = Decode(kLinkEthernet, Ethernet(0x0800, packet));
        ASSERT_TRUE(reference.result.deliver);
        for (const Wrapping& w : Wrappings()) {
            SCOPED_TRACE(w.name);
            const Bytes frame = w.wrap(0x0800, packet);
            const Outcome o = Decode(w.linkType, frame);
            ASSERT_TRUE(o.result.deliver);
            EXPECT_EQ(o.result.status, reference.result.status);
            EXPECT_EQ(o.entry.source, reference.entry.source);
            EXPECT_EQ(o.entry.destination, reference.entry.destination);
            EXPECT_EQ(o.entry.protocol, reference.entry.protocol);
            EXPECT_EQ(o.entry.info, reference.entry.info);
            EXPECT_EQ(PayloadOf(o.entry), PayloadOf(reference.entry));
            EXPECT_EQ(o.entry.rawData, frame);
            EXPECT_EQ(o.entry.linkType, w.linkType);
            EXPECT_EQ(o.result.reply, reference.result.reply);
            EXPECT_EQ(o.reply.fromIp, reference.reply.fromIp);
            EXPECT_EQ(o.reply.origSeq, reference.reply.origSeq);
            EXPECT_EQ(o.reply.type, reference.reply.type);
            EXPECT_EQ(o.reply.code, reference.reply.code);
        }
    }
}

TEST(DecodeLinkTypes, TooShortMeansLinkHeaderPlusOneIpv4Header) {
    const Bytes packet = Ipv4(kRouter, kUs, 17, Udp(53, 33440));
    for (const Wrapping& w : Wrappings()) {
        SCOPED_TRACE(w.name);
        const Bytes frame = w.wrap(0x0800, packet);
        EXPECT_FALSE(Decode(w.linkType, Cut(frame, w.networkOffset + 19)).result.deliver);
        EXPECT_TRUE(Decode(w.linkType, Cut(frame, w.networkOffset + 20)).result.deliver);
    }
}

TEST(DecodeLinkTypes, CutIpv6AndArpAreNamedAndDumpedFromTheNetworkHeader) {
    Bytes ipv6(39, 0);  // one byte short of the fixed IPv6 header
    ipv6[0] = 0x60;
    ipv6[1] = 0x0A;
    for (const Wrapping& w : Wrappings()) {
        if (w.linkType == kLinkRawIpv4) continue;  // promises IPv4 by definition
        SCOPED_TRACE(w.name);
        const Outcome o = Decode(w.linkType, w.wrap(0x86dd, ipv6));
        ASSERT_TRUE(o.result.deliver);
        EXPECT_EQ(o.result.status, DecodeStatus::Truncated);
        EXPECT_EQ(o.entry.protocol, "Eth 0x86dd");
        EXPECT_FALSE(o.result.reply);
        EXPECT_TRUE(PayloadOf(o.entry).empty());
        // Ethernet dumps from offset 14 whatever the tag; the others from the network header.
        if (w.linkType != kLinkEthernet) {
            EXPECT_EQ(o.entry.info, "[Hex: 60 0A 00 00 00 00 00 00 00 00 ]");
        }
    }
    Bytes arp{0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x02};
    arp.resize(28, 0);
    const Outcome sll = Decode(kLinkLinuxSll, LinuxSll(0x0806, arp));
    EXPECT_EQ(sll.entry.protocol, "Eth 0x806");
    EXPECT_EQ(sll.entry.info, "[Hex: 00 01 08 00 06 04 00 02 00 00 ]");
    const Outcome family = Decode(kLinkNull, BsdLoopback(7, false, Bytes(30, 0)));
    EXPECT_EQ(family.entry.protocol, "AF 7");
    // IPv6 UDP through every link type that can carry it gives the same fields.
    const Bytes udp6 = Ipv6(V6("2001:db8::1"), V6("fd00::5"), 17, Udp(5060, 5062, {7, 7}));
    for (const Wrapping& w : Wrappings()) {
        if (w.linkType == kLinkRawIpv4) continue;
        SCOPED_TRACE(w.name);
        const Outcome o = Decode(w.linkType, w.wrap(0x86dd, udp6));
        EXPECT_EQ(o.result.status, DecodeStatus::Decoded);
        EXPECT_EQ(o.entry.protocol, "UDP");
        EXPECT_EQ(o.entry.source, "[2001:db8::1]:5060");
        EXPECT_EQ(o.entry.destination, "[fd00::5]:5062");
        EXPECT_EQ(PayloadOf(o.entry), (Bytes{7, 7}));
    }
    const Outcome rawV5 = Decode(kLinkRaw, Bytes(30, 0x50));
    EXPECT_EQ(rawV5.entry.protocol, "IP v5");
    EXPECT_EQ(rawV5.result.status, DecodeStatus::NotMine);
}

// A frame whose link header is complete and names another protocol is not ours, however
// little follows the header; one cut inside its link header is truncated.
TEST(DecodeLinkTypes, CompleteFramesThatAreNotIpAreNotMineHoweverShort) {
    const Bytes shortArp{0x00, 0x01, 0x08, 0x00};
    for (const Wrapping& w : Wrappings()) {
        if (w.networkOffset == 0) continue;  // raw IP has no header to name another protocol
        SCOPED_TRACE(w.name);
        const Bytes frame = w.wrap(0x0806, shortArp);
        const Outcome o = Decode(w.linkType, frame);
        EXPECT_TRUE(o.result.deliver);
        EXPECT_EQ(o.result.status, DecodeStatus::NotMine);
        EXPECT_NE(o.entry.info.find("[Hex: "), std::string::npos);
        // Nothing after the link header at all: still complete, still not ours.
        EXPECT_EQ(Decode(w.linkType, Cut(frame, w.networkOffset)).result.status, DecodeStatus::NotMine);
        const Outcome cut = Decode(w.linkType, Cut(frame, w.networkOffset - 1));
        EXPECT_FALSE(cut.result.deliver);
        EXPECT_EQ(cut.result.status, DecodeStatus::Truncated);
    }
    // An IPX frame (EtherType 0x8137) and an 802.3 frame whose type field is a length.
    EXPECT_EQ(Decode(kLinkEthernet, Ethernet(0x8137, Bytes(6, 0xFF))).result.status, DecodeStatus::NotMine);
    EXPECT_EQ(Decode(kLinkEthernet, Ethernet(0x0026, Bytes{0x42, 0x42, 0x03})).result.status, DecodeStatus::NotMine);
    // Raw IP of another version, a single byte of it.
    EXPECT_EQ(Decode(kLinkRaw, Bytes{0x50}).result.status, DecodeStatus::NotMine);
    // IP itself cut short stays truncated.
    EXPECT_EQ(Decode(kLinkEthernet, Ethernet(0x0800, Bytes(10, 0x45))).result.status, DecodeStatus::Truncated);
    EXPECT_EQ(Decode(kLinkRaw, Bytes(10, 0x45)).result.status, DecodeStatus::Truncated);
}

TEST(DecodeLinkTypes, RawIpv6PromisesIpv6) {
    EXPECT_TRUE(IsSupportedLinkType(kLinkRawIpv6));
    EXPECT_EQ(MinimumFrameLength(kLinkRawIpv6), 1u);
    const Bytes udp6 = Ipv6(V6("2001:db8::1"), V6("fd00::5"), 17, Udp(5060, 5062, {7, 7}));
    const Outcome o = Decode(kLinkRawIpv6, udp6);
    EXPECT_EQ(o.result.status, DecodeStatus::Decoded);
    EXPECT_EQ(o.entry.source, "[2001:db8::1]:5060");
    EXPECT_EQ(PayloadOf(o.entry), (Bytes{7, 7}));
    EXPECT_EQ(Decode(kLinkRawIpv6, Cut(udp6, 39)).result.status, DecodeStatus::Truncated);
    // Not a version-4 header read as IPv4: the link type said IPv6.
    const Outcome v4 = Decode(kLinkRawIpv6, Ipv4(kRouter, kUs, 17, Udp(53, 33440, Bytes(20, 0))));
    EXPECT_NE(v4.entry.source, "192.0.2.1:53");
    EXPECT_EQ(v4.result.status, DecodeStatus::Malformed);
}

}  // namespace
