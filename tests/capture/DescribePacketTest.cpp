// A capture without packet texts (the Flow engine's) must describe every frame later exactly
// as a capture with texts writes it at once, and fill the same binary fields.
#include <gtest/gtest.h>

#include <filesystem>

#include "FrameBuilder.h"
#include "PcapFiles.h"
#include "capture/Decode.h"

namespace {

struct Frame {
    int linkType;
    FrameHeader header;
    Bytes bytes;
};

void ExpectSameBothWays(const Frame& f, const std::string& what) {
    SCOPED_TRACE(what);
    PacketLogEntry with, without;
    SniffResult r1, r2;
    const DecodeResult a = DecodeFrame(f.linkType, f.header, f.bytes, with, r1, true);
    const DecodeResult b = DecodeFrame(f.linkType, f.header, f.bytes, without, r2, false);
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.deliver, b.deliver);
    EXPECT_EQ(a.reply, b.reply);
    if (!a.deliver) return;
    EXPECT_TRUE(without.time.empty() && without.source.empty() && without.destination.empty() &&
                without.protocol.empty() && without.info.empty());
    EXPECT_EQ(with.srcAddr, without.srcAddr);
    EXPECT_EQ(with.dstAddr, without.dstAddr);
    EXPECT_EQ(with.srcPort, without.srcPort);
    EXPECT_EQ(with.dstPort, without.dstPort);
    EXPECT_EQ(with.ipProtocol, without.ipProtocol);
    EXPECT_EQ(with.payloadOffset, without.payloadOffset);
    EXPECT_EQ(with.payloadLength, without.payloadLength);
    // Probe replies carry their address texts either way (the MTR engine reads them).
    EXPECT_EQ(r1.fromIp, r2.fromIp);
    EXPECT_EQ(r1.probeDst, r2.probeDst);
    const PacketTexts t = DescribePacket(without);
    EXPECT_EQ(t.time, with.time);
    EXPECT_EQ(t.source, with.source);
    EXPECT_EQ(t.destination, with.destination);
    EXPECT_EQ(t.protocol, with.protocol);
    EXPECT_EQ(t.info, with.info);
    // An entry that has its texts keeps them.
    const PacketTexts own = DescribePacket(with);
    EXPECT_EQ(own.info, with.info);
    EXPECT_EQ(own.source, with.source);
}

TEST(DescribePacket, EveryFixtureFrameDescribesAsItsCaptureWithTexts) {
    size_t frames = 0;
    for (const auto& file : std::filesystem::directory_iterator(OC_PCAP_DIR)) {
        if (file.path().extension() != ".pcap") continue;
        const Savefile s = ReadSavefile(file.path().string());
        ASSERT_TRUE(s.ok) << file.path();
        for (size_t i = 0; i < s.records.size(); ++i) {
            const Record& r = s.records[i];
            ExpectSameBothWays({s.linkType, {r.tsSec, r.tsUsec, r.wireLength}, r.bytes},
                               file.path().filename().string() + " frame " + std::to_string(i));
            ++frames;
        }
    }
    EXPECT_GT(frames, 100u);
}

TEST(DescribePacket, RepliesFragmentsAndOtherProtocols) {
    const uint32_t a = Addr(10, 0, 0, 1), b = Addr(10, 0, 0, 2);
    const FrameHeader h{1700000000, 123456, 0};
    const Bytes probe = Ipv4(a, Addr(192, 0, 2, 9), 17, Udp(40001, 33440, Bytes(12, 0)), 1);
    const Bytes probe6 = Ipv6(V6("2001:db8::1"), V6("2001:db8::9"), 17, Udp(40001, 33441, Bytes(8, 0)), 1);
    const std::vector<std::pair<std::string, Frame>> cases = {
        {"time exceeded quoting UDP", {kLinkEthernet, h, Ethernet(0x0800, Ipv4(b, a, 1, IcmpError(11, 0, probe, 28)))}},
        {"echo reply", {kLinkEthernet, h, Ethernet(0x0800, Ipv4(b, a, 1, Icmp(0, 0, 0x4f43, 7)))}},
        {"quote cut short", {kLinkEthernet, h, Ethernet(0x0800, Ipv4(b, a, 1, IcmpError(3, 3, probe, 22)))}},
        {"TCP SYN-ACK", {kLinkEthernet, h, Ethernet(0x0800, Ipv4(b, a, 6, Tcp(80, 33500, 0x12)))}},
        {"later fragment", {kLinkRaw, h, Ipv4Fragment(a, b, 17, 77, 1480, false, Bytes(40, 1))}},
        {"ICMPv6 time exceeded",
         {kLinkRawIpv6, h, Ipv6(V6("2001:db8::fe"), V6("2001:db8::1"), 58, Icmpv6(3, 0, 0, 0, probe6))}},
        {"IPv6 fragment", {kLinkRawIpv6, h, Ipv6(V6("::1"), V6("::2"), 44, FragmentHeader(17, 8, true, Bytes(16, 2)))}},
        {"unknown IPv4 protocol", {kLinkEthernet, h, Ethernet(0x0800, Ipv4(a, b, 47, Bytes(20, 0)))}},
        {"ARP", {kLinkEthernet, h, Ethernet(0x0806, Bytes(28, 0))}},
        {"BSD loopback of another family", {kLinkNull, h, BsdLoopback(7, false, Bytes(20, 0))}},
    };
    for (const auto& [what, frame] : cases) ExpectSameBothWays(frame, what);
}

TEST(DescribePacket, EntriesWithoutAFrameShowTheirEndpoints) {
    PacketLogEntry e;
    e.srcAddr = *IpAddress::Parse("2001:db8::1");
    e.dstAddr = *IpAddress::Parse("10.0.0.2");
    e.hasPorts = true;
    e.srcPort = 5060;
    e.dstPort = 5062;
    e.tsSec = 0;
    e.tsUsec = 42000;
    const PacketTexts t = DescribePacket(e);
    EXPECT_EQ(t.source, "[2001:db8::1]:5060");
    EXPECT_EQ(t.destination, "10.0.0.2:5062");
    EXPECT_EQ(t.time.substr(t.time.size() - 4), ".042");
}

}  // namespace
