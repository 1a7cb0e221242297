// IP reassembly through the capture loop's FrameDecoder: hand-built IPv4 and IPv6
// fragments in every order, overlaps by each family's rule, time-outs in capture time, and
// the bounds with what they drop counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

#include "FrameBuilder.h"
#include "capture/FrameDecoder.h"

namespace {

constexpr uint32_t kSrc = Addr(192, 0, 2, 10);
constexpr uint32_t kDst = Addr(198, 51, 100, 20);
constexpr uint8_t kUdpProto = 17, kTcpProto = 6, kFragmentHeader = 44, kDestOpts = 60;
constexpr int64_t kStartSec = 1700000000;
const Bytes kSrc6 = V6("2001:db8:1::5");
const Bytes kDst6 = V6("2001:db8:2::7");

Bytes Pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    return b;
}

// The fragments of `datagram` (the bytes after the IP header), `chunk` bytes each.
std::vector<Bytes> V4Fragments(const Bytes& datagram, size_t chunk, uint16_t id = 0x4242, uint8_t proto = kUdpProto) {
    std::vector<Bytes> frames;
    for (size_t at = 0; at < datagram.size(); at += chunk) {
        const size_t n = std::min(chunk, datagram.size() - at);
        const Bytes part(datagram.begin() + at, datagram.begin() + at + n);
        frames.push_back(Ethernet(kEthIpv4, Ipv4Fragment(kSrc, kDst, proto, id, static_cast<uint16_t>(at),
                                                         at + n < datagram.size(), part)));
    }
    return frames;
}

// `datagram` is the fragmentable part: it starts with a header of type `next`.
std::vector<Bytes> V6Fragments(const Bytes& datagram, size_t chunk, uint32_t id = 0xBEEF, uint8_t next = kUdpProto) {
    std::vector<Bytes> frames;
    for (size_t at = 0; at < datagram.size(); at += chunk) {
        const size_t n = std::min(chunk, datagram.size() - at);
        const Bytes part(datagram.begin() + at, datagram.begin() + at + n);
        frames.push_back(Ethernet(kEthIpv6, Ipv6(kSrc6, kDst6, kFragmentHeader,
                                                 FragmentHeader(next, static_cast<uint16_t>(at),
                                                                at + n < datagram.size(), part, id))));
    }
    return frames;
}

struct Fed {
    DecodeResult result;
    PacketLogEntry entry;
};

class Feeder {
public:
    explicit Feeder(bool on = true) { decoder.SetReassembly(on); }
    Fed Feed(const Bytes& frame, int64_t atMicros = kStartSec * 1000000) {
        Fed f;
        SniffResult reply;
        const FrameHeader header{static_cast<uint32_t>(atMicros / 1000000), static_cast<uint32_t>(atMicros % 1000000),
                                 static_cast<uint32_t>(frame.size())};
        f.result = decoder.Decode(kLinkEthernet, header, frame, f.entry, reply);
        return f;
    }
    // Feeds every frame; returns the entries that came out with a payload.
    std::vector<PacketLogEntry> FeedAll(const std::vector<Bytes>& frames, int64_t atMicros = kStartSec * 1000000) {
        std::vector<PacketLogEntry> withPayload;
        for (const Bytes& frame : frames) {
            Fed f = Feed(frame, atMicros);
            EXPECT_TRUE(f.result.deliver);
            if (!f.entry.Payload().empty()) withPayload.push_back(std::move(f.entry));
        }
        return withPayload;
    }
    ReassemblyCounts Counts() const { return decoder.Counts(); }
    FrameDecoder decoder;
};

void ExpectTextsAsDecodeFrame(const Bytes& frame, const PacketLogEntry& got) {
    PacketLogEntry plain;
    SniffResult reply;
    DecodeFrame(kLinkEthernet, FrameHeader{static_cast<uint32_t>(kStartSec), 0, static_cast<uint32_t>(frame.size())},
                frame, plain, reply);
    EXPECT_EQ(got.info, plain.info);
    EXPECT_EQ(got.source, plain.source);
    EXPECT_EQ(got.destination, plain.destination);
    EXPECT_EQ(got.protocol, plain.protocol);
    EXPECT_EQ(got.rawData, frame);  // the savefile keeps the captured frame
}

TEST(IpReassembly, AnyArrivalOrderGivesTheWholeDatagramAtTheCompletingFrame) {
    const Bytes payload = Pattern(3000);
    const Bytes datagram = Udp(40000, 5060, payload);
    for (const bool v6 : {false, true}) {
        const std::vector<Bytes> frames = v6 ? V6Fragments(datagram, 1232) : V4Fragments(datagram, 552);
        std::vector<size_t> order(frames.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::vector<std::vector<size_t>> orders{order, std::vector<size_t>(order.rbegin(), order.rend())};
        std::mt19937 rng(7);
        for (int i = 0; i < 4; ++i) {
            std::shuffle(order.begin(), order.end(), rng);
            orders.push_back(order);
        }
        for (const auto& o : orders) {
            SCOPED_TRACE((v6 ? "IPv6 order " : "IPv4 order ") + ::testing::PrintToString(o));
            Feeder feeder;
            for (size_t k = 0; k < o.size(); ++k) {
                const Bytes& frame = frames[o[k]];
                Fed f = feeder.Feed(frame);
                ExpectTextsAsDecodeFrame(frame, f.entry);
                if (k + 1 < o.size()) {
                    // Not even the first fragment hands on its part of the UDP payload.
                    EXPECT_TRUE(f.entry.Payload().empty());
                    EXPECT_TRUE(f.result.payload.empty());
                    EXPECT_EQ(f.entry.hasPorts, o[k] == 0);
                    continue;
                }
                EXPECT_EQ(PayloadOf(f.entry), payload);
                EXPECT_TRUE(f.entry.hasPorts);
                EXPECT_EQ(f.entry.srcPort, 40000);
                EXPECT_EQ(f.entry.dstPort, 5060);
                EXPECT_EQ(f.entry.ipProtocol, kUdpProto);
                EXPECT_EQ(f.result.payload.size(), payload.size());
            }
            EXPECT_EQ(feeder.Counts().reassembled, 1u);
            EXPECT_EQ(feeder.Counts().pending, 0u);
            EXPECT_EQ(feeder.decoder.Reassembler().HeldBytes(), 0u);
        }
    }
}

TEST(IpReassembly, SipInviteWithLongSdpKeepsItsMediaLines) {
    std::string sdp = "v=0\r\no=- 1 1 IN IP4 192.0.2.10\r\ns=-\r\nc=IN IP4 192.0.2.10\r\nt=0 0\r\n";
    for (int i = 0; sdp.size() < 1800; ++i) sdp += "a=candidate:" + std::to_string(i) + " 1 udp 2130706431 192.0.2.10 40000 typ host\r\n";
    sdp += "m=audio 40002 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\n";
    const std::string invite = "INVITE sip:bob@198.51.100.20 SIP/2.0\r\n"
                               "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-frag\r\n"
                               "Call-ID: frag-test@192.0.2.10\r\nCSeq: 1 INVITE\r\n"
                               "Content-Type: application/sdp\r\nContent-Length: " +
                               std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    const Bytes sip(invite.begin(), invite.end());
    Feeder feeder;
    std::vector<Bytes> frames = V4Fragments(Udp(5060, 5062, sip), 1480);
    ASSERT_EQ(frames.size(), 2u);
    std::swap(frames[0], frames[1]);  // the first fragment arrives last and completes it
    const auto out = feeder.FeedAll(frames);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(PayloadText(out[0]), invite);
    EXPECT_EQ(out[0].srcPort, 5060);
    EXPECT_EQ(out[0].dstPort, 5062);
    EXPECT_EQ(out[0].source, "192.0.2.10:5060");  // the first fragment's own texts
    EXPECT_NE(PayloadText(out[0]).find("m=audio 40002"), std::string::npos);
}

TEST(IpReassembly, TcpAndIpv6ExtensionHeadersAfterTheFragmentHeader) {
    {
        Feeder feeder;
        const Bytes payload = Pattern(2000, 3);
        const auto out = feeder.FeedAll(V4Fragments(Tcp(5061, 45000, 0x18, payload), 800, 7, kTcpProto));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(PayloadOf(out[0]), payload);
        EXPECT_EQ(out[0].tcpSeq, 1000u);
        EXPECT_EQ(out[0].tcpFlags, 0x18);
        EXPECT_EQ(out[0].dstPort, 45000);
        EXPECT_EQ(out[0].info, "[TTL=64] [Fragment Offset=1600]");  // the completing frame's text
    }
    {
        // Destination options belong to the fragmentable part (RFC 8200 4.1): walked after
        // reassembly, and the entry names the upper layer, not the options header.
        Feeder feeder;
        const Bytes payload = Pattern(2500, 9);
        auto frames = V6Fragments(ExtensionHeader(kUdpProto, 2, Udp(5060, 5060, payload)), 1232, 0xBEEF, kDestOpts);
        std::reverse(frames.begin(), frames.end());
        const auto out = feeder.FeedAll(frames);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(PayloadOf(out[0]), payload);
        EXPECT_EQ(out[0].ipProtocol, kUdpProto);
        EXPECT_EQ(out[0].srcPort, 5060);
    }
}

TEST(IpReassembly, AtomicIpv6FragmentIsAWholeDatagram) {
    // Offset 0 without More Fragments (RFC 6946): processed on its own, never held.
    Feeder feeder;
    Fed f = feeder.Feed(Ethernet(kEthIpv6, Ipv6(kSrc6, kDst6, kFragmentHeader,
                                                FragmentHeader(kUdpProto, 0, false, Udp(5060, 5060, Pattern(20)), 3))));
    EXPECT_FALSE(f.result.fragment.present);
    EXPECT_EQ(PayloadOf(f.entry), Pattern(20));
    EXPECT_EQ(feeder.Counts().pending, 0u);
}

TEST(IpReassembly, OffLeavesFragmentsAsDecodeFrameGivesThem) {
    Feeder feeder(false);
    const Bytes datagram = Udp(40000, 5060, Pattern(1000));
    const auto frames = V4Fragments(datagram, 504);
    Fed first = feeder.Feed(frames[0]);
    EXPECT_EQ(PayloadOf(first.entry), Bytes(datagram.begin() + 8, datagram.begin() + 504));
    Fed last = feeder.Feed(frames[1]);
    EXPECT_TRUE(last.entry.Payload().empty());
    EXPECT_TRUE(last.entry.reassembled.empty());
    EXPECT_EQ(feeder.Counts().reassembled, 0u);
    EXPECT_EQ(feeder.Counts().pending, 0u);
}

TEST(IpReassembly, PaddingAndCutFramesAreNotFragmentBytes) {
    // A 2-byte last fragment in a frame padded to Ethernet's 60 bytes: the padding must not
    // become datagram bytes.
    const Bytes datagram = Udp(1, 2, Pattern(18));  // 26 bytes: 24 + 2
    Feeder feeder;
    auto frames = V4Fragments(datagram, 24);
    frames[1].resize(60, 0xEE);
    const auto out = feeder.FeedAll(frames);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(PayloadOf(out[0]), Pattern(18));

    // A fragment cut by the snapshot, or not a multiple of 8 bytes before the last, is
    // unusable and counted; its datagram can then only time out.
    Feeder cut;
    auto parts = V4Fragments(Udp(1, 2, Pattern(100)), 56);
    cut.Feed(Cut(parts[0], parts[0].size() - 1));
    cut.Feed(Ethernet(kEthIpv4, Ipv4Fragment(kSrc, kDst, kUdpProto, 9, 0, true, Pattern(12))));
    EXPECT_TRUE(cut.Feed(parts[1]).entry.Payload().empty());
    EXPECT_EQ(cut.Counts().fragmentsUnusable, 2u);
    EXPECT_EQ(cut.Counts().reassembled, 0u);
}

TEST(IpReassembly, OverlapsNeverMixTwoVersionsOfTheSameBytes) {
    const Bytes datagram = Udp(40000, 5060, Pattern(40));  // 48 bytes
    const Bytes changed = [&] {
        Bytes b = datagram;
        b[20] ^= 0xFF;
        return b;
    }();
    auto v4 = [](const Bytes& d, uint16_t from, uint16_t to, bool more) {
        return Ethernet(kEthIpv4, Ipv4Fragment(kSrc, kDst, kUdpProto, 5, from,
                                               more, Bytes(d.begin() + from, d.begin() + to)));
    };
    auto v6 = [](const Bytes& d, uint16_t from, uint16_t to, bool more) {
        return Ethernet(kEthIpv6, Ipv6(kSrc6, kDst6, kFragmentHeader,
                                       FragmentHeader(kUdpProto, from, more, Bytes(d.begin() + from, d.begin() + to), 5)));
    };
    {
        // IPv4, overlap with the same bytes: the first copy stays, the datagram completes.
        Feeder feeder;
        const auto out = feeder.FeedAll({v4(datagram, 0, 24, true), v4(datagram, 16, 40, true), v4(datagram, 8, 48, false)});
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(PayloadOf(out[0]), Pattern(40));
        EXPECT_EQ(feeder.Counts().fragmentsOverlap, 0u);
    }
    {
        // IPv4, overlap with other bytes: the datagram goes, and so do its later fragments.
        Feeder feeder;
        const auto out = feeder.FeedAll({v4(datagram, 0, 24, true), v4(changed, 16, 32, true),
                                         v4(datagram, 24, 48, false), v4(datagram, 16, 24, true)});
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(feeder.Counts().fragmentsOverlap, 4u);
        EXPECT_EQ(feeder.Counts().reassembled, 0u);
    }
    {
        // IPv6: any overlap drops the datagram (RFC 5722), same bytes or not.
        Feeder feeder;
        const auto out = feeder.FeedAll({v6(datagram, 0, 24, true), v6(datagram, 16, 40, true), v6(datagram, 40, 48, false)});
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(feeder.Counts().fragmentsOverlap, 3u);
    }
    for (const bool isV6 : {false, true}) {
        // An exact copy (a frame seen twice) is dropped alone, in both families.
        auto make = isV6 ? v6 : v4;
        Feeder feeder;
        const auto out = feeder.FeedAll({make(datagram, 0, 24, true), make(datagram, 0, 24, true),
                                         make(datagram, 24, 48, false)});
        ASSERT_EQ(out.size(), 1u) << isV6;
        EXPECT_EQ(PayloadOf(out[0]), Pattern(40));
        EXPECT_EQ(feeder.Counts().fragmentsDuplicate, 1u);
    }
    {
        // Two last fragments that disagree on the length: two versions of the datagram.
        Feeder feeder;
        const auto out = feeder.FeedAll({v4(datagram, 24, 48, false), v4(datagram, 24, 40, false), v4(datagram, 0, 24, true)});
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(feeder.Counts().fragmentsOverlap, 3u);
    }
}

TEST(IpReassembly, TimeOutsRunOnCaptureTime) {
    const int64_t t0 = kStartSec * 1000000;
    const auto v4 = V4Fragments(Udp(1, 2, Pattern(100)), 56);
    const auto v6 = V6Fragments(Udp(1, 2, Pattern(100)), 56);
    {
        // IPv4 waits 30 s: 29.9 s after its first fragment a datagram still completes.
        Feeder feeder;
        feeder.Feed(v4[0], t0);
        EXPECT_FALSE(feeder.Feed(v4[1], t0 + 29900000).entry.Payload().empty());
    }
    {
        // At 30 s it has gone; the late fragment starts a datagram of its own.
        Feeder feeder;
        feeder.Feed(v4[0], t0);
        EXPECT_TRUE(feeder.Feed(v4[1], t0 + 30000000).entry.Payload().empty());
        EXPECT_EQ(feeder.Counts().fragmentsIncomplete, 1u);
        EXPECT_EQ(feeder.Counts().pending, 1u);
    }
    {
        // IPv6 waits 60 s (RFC 8200).
        Feeder feeder;
        feeder.Feed(v6[0], t0);
        EXPECT_FALSE(feeder.Feed(v6[1], t0 + 59000000).entry.Payload().empty());
        feeder.Feed(v6[0], t0);
        EXPECT_TRUE(feeder.Feed(v6[1], t0 + 60000000).entry.Payload().empty());
        EXPECT_EQ(feeder.Counts().fragmentsIncomplete, 1u);
    }
    {
        // Datagrams nobody completes are counted when unrelated fragments move time on;
        // a clock stepped back by more than the time-out ends them too.
        Feeder feeder;
        feeder.Feed(v4[0], t0);
        feeder.Feed(v6[0], t0);
        feeder.Feed(V4Fragments(Udp(1, 2, Pattern(100)), 56, 99)[0], t0 + 31000000);
        EXPECT_EQ(feeder.Counts().fragmentsIncomplete, 1u);
        EXPECT_EQ(feeder.Counts().pending, 2u);
        feeder.Feed(V4Fragments(Udp(1, 2, Pattern(100)), 56, 98)[0], t0 - 3600000000LL);
        EXPECT_EQ(feeder.Counts().fragmentsIncomplete, 3u);
        EXPECT_EQ(feeder.Counts().pending, 1u);
    }
}

TEST(IpReassembly, BoundsDropAndCount) {
    const Bytes datagram = Udp(1, 2, Pattern(100));
    {
        // A full table pushes out the datagram whose first fragment is oldest.
        Feeder feeder;
        std::vector<std::vector<Bytes>> all;
        for (size_t i = 0; i <= kMaxPendingDatagrams; ++i) {
            all.push_back(V4Fragments(datagram, 56, static_cast<uint16_t>(i)));
            feeder.Feed(all.back()[0]);
        }
        EXPECT_EQ(feeder.Counts().pending, kMaxPendingDatagrams);
        EXPECT_EQ(feeder.Counts().fragmentsOverBounds, 1u);
        EXPECT_TRUE(feeder.Feed(all[0][1]).entry.Payload().empty());  // gone
        EXPECT_FALSE(feeder.Feed(all[2][1]).entry.Payload().empty());
    }
    {
        // 65 fragments of 8 bytes: one more than a datagram may have.
        Feeder feeder;
        const Bytes big = Udp(1, 2, Pattern(kMaxFragmentsPerDatagram * 8));
        const auto frames = V4Fragments(big, 8);
        ASSERT_EQ(frames.size(), kMaxFragmentsPerDatagram + 1);
        EXPECT_TRUE(feeder.FeedAll(frames).empty());
        EXPECT_EQ(feeder.Counts().fragmentsOverBounds, frames.size());
        EXPECT_EQ(feeder.decoder.Reassembler().HeldBytes(), 0u);
        // Fragments in at most the limit still complete.
        Feeder fits;
        EXPECT_EQ(fits.FeedAll(V4Fragments(Udp(1, 2, Pattern(kMaxFragmentsPerDatagram * 8 - 8)), 8)).size(), 1u);
    }
    for (const bool v6 : {false, true}) {
        // Past 65,535 bytes: the oversize datagram is dropped with its other fragments.
        Feeder feeder;
        const Bytes tail = Pattern(16);
        const Bytes over = v6 ? Ethernet(kEthIpv6, Ipv6(kSrc6, kDst6, kFragmentHeader, FragmentHeader(kUdpProto, 65528, false, tail, 1)))
                              : Ethernet(kEthIpv4, Ipv4Fragment(kSrc, kDst, kUdpProto, 1, 65528, false, tail));
        const Bytes head = v6 ? Ethernet(kEthIpv6, Ipv6(kSrc6, kDst6, kFragmentHeader, FragmentHeader(kUdpProto, 0, true, Udp(1, 2, Pattern(8)), 1)))
                              : Ethernet(kEthIpv4, Ipv4Fragment(kSrc, kDst, kUdpProto, 1, 0, true, Udp(1, 2, Pattern(8))));
        feeder.Feed(head);
        feeder.Feed(over);
        feeder.Feed(head);
        EXPECT_EQ(feeder.Counts().fragmentsOverBounds, 3u) << v6;
        EXPECT_EQ(feeder.decoder.Reassembler().HeldBytes(), 0u);
    }
}

TEST(IpReassembly, FloodOfNeverCompletedFragmentsStaysBounded) {
    Feeder feeder;
    const Bytes part = Pattern(1400);
    size_t mostHeld = 0;
    for (uint32_t i = 0; i < 100000; ++i) {
        const Bytes frame = (i & 1) ? Ethernet(kEthIpv4, Ipv4Fragment(kSrc, kDst + i, kUdpProto, static_cast<uint16_t>(i), 0, true, part))
                                    : Ethernet(kEthIpv6, Ipv6(kSrc6, kDst6, kFragmentHeader, FragmentHeader(kUdpProto, 1400, true, part, i)));
        feeder.Feed(frame, kStartSec * 1000000 + i);
        mostHeld = std::max(mostHeld, feeder.decoder.Reassembler().HeldBytes());
    }
    EXPECT_EQ(feeder.Counts().pending, kMaxPendingDatagrams);
    EXPECT_LE(mostHeld, kMaxPendingDatagrams * part.size());
    EXPECT_EQ(feeder.Counts().fragmentsOverBounds, 100000 - kMaxPendingDatagrams);
    EXPECT_EQ(feeder.Counts().reassembled, 0u);
}

}  // namespace
