#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flow/TcpReassembly.h"

namespace {

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;

const std::string kSdp =
    "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 10.0.0.1\r\nt=0 0\r\nm=audio 40000 RTP/AVP 8\r\n";
const std::string kInvite = "INVITE sip:2001@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/TCP 10.0.0.1;branch=z9hG4bK1\r\n"
                            "From: <sip:1001@10.0.0.1>;tag=a\r\nTo: <sip:2001@10.0.0.2>\r\nCall-ID: c1\r\n"
                            "CSeq: 1 INVITE\r\nContent-Type: application/sdp\r\nContent-Length: " +
                            std::to_string(kSdp.size()) + "\r\n\r\n" + kSdp;
const std::string kBye = "BYE sip:2001@10.0.0.2 SIP/2.0\r\nCall-ID: c1\r\nCSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n";
const std::string kOkHeader =
    "SIP/2.0 200 OK\r\nCall-ID: c1\r\nCSeq: 1 INVITE\r\nl: " + std::to_string(kSdp.size()) + "\r\n\r\n";

Endpoint Client(uint32_t n = 1) {
    const uint8_t a[4] = {10, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    return {IpAddress::FromV4(a), 40000};
}
const Endpoint kServer{*IpAddress::Parse("192.0.2.10"), 5060};

PacketLogEntry Segment(const Endpoint& from, const Endpoint& to, uint32_t seq, std::string_view bytes,
                       uint8_t flags = kAck | kPsh, int64_t micros = 1'000'000) {
    PacketLogEntry e;
    e.srcAddr = from.address;
    e.dstAddr = to.address;
    e.srcPort = from.port;
    e.dstPort = to.port;
    e.ipProtocol = kIpProtoTcp;
    e.hasPorts = true;
    e.tcpSeq = seq;
    e.tcpFlags = flags;
    e.tsSec = static_cast<uint32_t>(micros / 1000000);
    e.tsUsec = static_cast<uint32_t>(micros % 1000000);
    e.SetPayload(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    return e;
}

std::string_view Part(const std::string& s, size_t from, size_t to = std::string::npos) {
    return std::string_view(s).substr(from, to == std::string::npos ? std::string::npos : to - from);
}

struct Got {
    std::string text;
    Endpoint source, destination;
    int64_t time;
};

struct Streams {
    explicit Streams(const SipTcpLimits& limits = {}) : streams(limits) {}
    SipTcpStreams streams;
    std::vector<Got> got;
    SipTcpStreams::Sink Keep() {
        return [this](const SipTcpMessage& m) {
            got.push_back({std::string(m.text), m.source, m.destination, m.timeMicros});
        };
    }
    void Feed(const PacketLogEntry& e) { streams.Feed(e, Keep()); }
    // Data from the client of connection n, its first byte at sequence number base.
    void Send(uint32_t base, size_t offset, std::string_view bytes, int64_t micros = 1'000'000, uint32_t n = 1) {
        Feed(Segment(Client(n), kServer, base + static_cast<uint32_t>(offset), bytes, kAck | kPsh, micros));
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const Got& g : got) out.push_back(g.text);
        return out;
    }
    SipTcpCounters Counters() const { return streams.Counters(); }
};

TEST(SipTcpStreams, CoalescedAndSplitMessages) {
    Streams s;
    s.Feed(Segment(Client(), kServer, 999, "", kSyn));
    s.Feed(Segment(kServer, Client(), 7999, "", kSyn | kAck));
    s.Send(1000, 0, kInvite + kBye, 1'000'000);
    ASSERT_EQ(s.Texts(), (std::vector<std::string>{kInvite, kBye}));
    EXPECT_EQ(s.got[1].source, Client());
    EXPECT_EQ(s.got[1].destination, kServer);

    // A 200 over three segments, its SDP in the last: delivered once, at the last one's time.
    s.Feed(Segment(kServer, Client(), 8000, Part(kOkHeader, 0, 9), kAck, 2'000'000));
    s.Feed(Segment(kServer, Client(), 8009, Part(kOkHeader, 9), kAck, 2'100'000));
    EXPECT_EQ(s.got.size(), 2u);
    s.Feed(Segment(kServer, Client(), 8000 + static_cast<uint32_t>(kOkHeader.size()), kSdp, kAck, 2'200'000));
    ASSERT_EQ(s.got.size(), 3u);
    EXPECT_EQ(s.got[2].text, kOkHeader + kSdp);
    EXPECT_EQ(s.got[2].source, kServer);
    EXPECT_EQ(s.got[2].time, 2'200'000);
    EXPECT_EQ(s.Counters().framing.resyncs, 0u);
    EXPECT_EQ(s.Counters().bufferedBytes, 0u);
}

TEST(SipTcpStreams, OutOfOrderRetransmittedAndOverlapping) {
    Streams t;
    t.Send(5000, 0, Part(kInvite, 0, 100));
    t.Send(5000, 200, Part(kInvite, 200));
    t.Send(5000, 100, Part(kInvite, 100, 200));
    ASSERT_EQ(t.Texts(), (std::vector<std::string>{kInvite}));
    t.Send(5000, 100, Part(kInvite, 100, 200));  // retransmission of delivered bytes
    EXPECT_EQ(t.Counters().retransmittedBytes, 100u);

    // Overlaps carrying other bytes: the copy seen first is kept, held or delivered.
    Streams u;
    u.Send(100, 0, Part(kInvite, 0, 50));
    u.Send(100, 80, Part(kInvite, 80, 150));
    u.Send(100, 50, std::string(100, 'X'));  // [50,150): only [50,80) is new
    u.Send(100, 40, std::string(30, 'Y'));   // [40,70): all delivered already
    u.Send(100, 150, Part(kInvite, 150));
    EXPECT_EQ(u.Texts(), (std::vector<std::string>{kInvite.substr(0, 50) + std::string(30, 'X') + kInvite.substr(80)}));
    EXPECT_EQ(u.Counters().retransmittedBytes, 30u + 70u);
}

TEST(SipTcpStreams, HoleFilledLaterOrSkipped) {
    const std::string stream = kInvite + kBye;
    Streams filled;
    filled.Send(1, 0, Part(stream, 0, 100), 1'000'000);
    filled.Send(1, 200, Part(stream, 200), 1'100'000);
    filled.Send(1, 100, Part(stream, 100, 200), 4'000'000);  // within the time-out
    EXPECT_EQ(filled.Texts(), (std::vector<std::string>{kInvite, kBye}));
    EXPECT_EQ(filled.Counters().holes, 0u);

    // Never filled: another connection's segment after the time-out moves it on; the BYE
    // after the hole is found by its start line and keeps its own connection's endpoints.
    Streams timed;
    timed.Send(1, 0, Part(stream, 0, 100), 1'000'000);
    timed.Send(1, 200, Part(stream, 200), 1'100'000);
    timed.Send(1, 0, "\r\n", 6'500'000, 2);
    ASSERT_EQ(timed.Texts(), (std::vector<std::string>{kBye}));
    EXPECT_EQ(timed.got[0].source, Client(1));
    SipTcpCounters c = timed.Counters();
    EXPECT_EQ(c.holes, 1u);
    EXPECT_EQ(c.holeBytes, 100u);
    EXPECT_EQ(c.framing.unfinishedBytes, 100u);
    EXPECT_EQ(c.framing.skippedBytes, kInvite.size() - 200 + 2);  // and the other connection's CR LF

    // Never filled, and the segments held reach their bound first.
    SipTcpLimits limits;
    limits.heldSegmentsPerDirection = 2;
    Streams bounded(limits);
    bounded.Send(1, 0, Part(stream, 0, 100));
    bounded.Send(1, 200, Part(stream, 200, 300));
    bounded.Send(1, 300, Part(stream, 300, kInvite.size()));
    EXPECT_TRUE(bounded.got.empty());
    bounded.Send(1, kInvite.size(), kBye);
    EXPECT_EQ(bounded.Texts(), (std::vector<std::string>{kBye}));
    EXPECT_EQ(bounded.Counters().holeBytes, 100u);

    // Never filled, and the capture ends: two holes skipped at once.
    Streams ended;
    ended.Send(1, 0, Part(stream, 0, 100));
    ended.Send(1, 200, Part(stream, 200, 250));
    ended.Send(1, kInvite.size(), kBye);
    EXPECT_TRUE(ended.got.empty());
    ended.streams.SkipHoles(ended.Keep());
    EXPECT_EQ(ended.Texts(), (std::vector<std::string>{kBye}));
    EXPECT_EQ(ended.Counters().holes, 2u);
    EXPECT_EQ(ended.Counters().holeBytes, 100u + kInvite.size() - 250);
}

TEST(SipTcpStreams, SequenceNumbersWrap) {
    const std::string stream = kInvite + kBye;
    const uint32_t isn = 0xFFFFFF00u;  // the stream crosses 2^32 at byte 255
    Streams s;
    s.Feed(Segment(Client(), kServer, isn, "", kSyn));
    s.Send(isn + 1, 0, Part(stream, 0, 150));
    s.Send(isn + 1, 300, Part(stream, 300));
    s.Send(isn + 1, 150, Part(stream, 150, 300));
    s.Send(isn + 1, 230, Part(stream, 230, 280));  // old, across the wrap
    EXPECT_EQ(s.Texts(), (std::vector<std::string>{kInvite, kBye}));
    EXPECT_EQ(s.Counters().retransmittedBytes, 50u);
    EXPECT_EQ(s.Counters().holes, 0u);
}

TEST(SipTcpStreams, KeepAlivesAndLengths) {
    Streams s;
    const std::string huge = "INVITE sip:a SIP/2.0\r\nCall-ID: big\r\nContent-Length: 2147483648\r\n\r\n";
    s.Send(1, 0, kBye);
    s.Send(1, kBye.size(), "\r\n\r\n");
    s.Send(1, kBye.size() + 4, "\r\n");
    s.Send(1, kBye.size() + 6, huge + "\r\n" + kOkHeader);
    EXPECT_EQ(s.Texts(), (std::vector<std::string>{kBye}));
    s.Send(1, kBye.size() + 8 + huge.size() + kOkHeader.size(), kSdp);
    EXPECT_EQ(s.Texts(), (std::vector<std::string>{kBye, kOkHeader + kSdp}));
    const SipTcpCounters c = s.Counters();
    EXPECT_EQ(c.framing.keepAliveBytes, 6u);
    EXPECT_EQ(c.framing.oversizeBodies, 1u);
    EXPECT_EQ(c.bufferedBytes, 0u) << "a 2 GiB length is not waited for";
}

TEST(SipTcpStreams, FinRstAndNewSyn) {
    Streams s;
    s.Feed(Segment(Client(), kServer, 99, "", kSyn));
    s.Feed(Segment(kServer, Client(), 499, "", kSyn | kAck));
    s.Feed(Segment(kServer, Client(), 500, "", kFin | kAck));
    // The client's FIN comes before a hole in its data fills: the connection waits for it.
    s.Send(100, 200, Part(kInvite, 200));
    s.Feed(Segment(Client(), kServer, 100 + static_cast<uint32_t>(kInvite.size()), "", kFin | kAck));
    s.Send(100, 0, Part(kInvite, 0, 200));
    EXPECT_EQ(s.Texts(), (std::vector<std::string>{kInvite}));
    SipTcpCounters c = s.Counters();
    EXPECT_EQ(c.connections, 0u);
    EXPECT_EQ(c.connectionsClosed, 1u);
    s.Feed(Segment(kServer, Client(), 501, "", kAck));  // the last ACK: nothing to track
    EXPECT_EQ(s.Counters().connections, 0u);

    // RST drops what waits behind a hole.
    s.Send(1000, 0, Part(kInvite, 0, 50));
    s.Send(1000, 100, Part(kInvite, 100, 200));
    s.Feed(Segment(kServer, Client(), 1, "", kRst));
    c = s.Counters();
    EXPECT_EQ(c.connections, 0u);
    EXPECT_EQ(c.droppedHeldBytes, 100u);
    EXPECT_EQ(c.framing.unfinishedBytes, 50u);

    // A SYN with a new ISN on the same ports starts a new stream at a message boundary.
    s.Send(3000, 0, Part(kInvite, 0, 60));
    s.Feed(Segment(Client(), kServer, 9000, "", kSyn));
    s.Send(9001, 0, kBye);
    EXPECT_EQ(s.got.back().text, kBye);
    EXPECT_EQ(s.Counters().framing.unfinishedBytes, 110u);

    // A stream far ahead of where it was: not waited for, read from its start line.
    s.Send(9001 + (1u << 24), 0, kBye);
    EXPECT_EQ(s.got.size(), 3u);
    EXPECT_EQ(s.Counters().sequenceJumps, 1u);
}

TEST(SipTcpStreams, ConnectionBoundsAndTimeOuts) {
    SipTcpLimits limits;
    limits.connections = 8;
    Streams s(limits);
    for (uint32_t n = 0; n < 20; ++n) s.Send(1, 0, Part(kInvite, 0, 100), 1'000'000 + n, n);
    SipTcpCounters c = s.Counters();
    EXPECT_EQ(c.connections, 8u);
    EXPECT_EQ(c.connectionsEvicted, 12u);
    EXPECT_EQ(c.framing.unfinishedBytes, 1200u);
    s.Send(1, 100, Part(kInvite, 100), 1'500'000, 19);  // tracked: completes
    s.Send(1, 100, Part(kInvite, 100), 1'500'000, 0);   // pushed out: its rest is no message
    EXPECT_EQ(s.Texts(), (std::vector<std::string>{kInvite}));

    // Silent past the idle time-out: forgotten when capture time moves on.
    s.Send(1, 0, kBye, 1'000'000 + kTcpIdleTimeoutMicros + 2'000'000, 100);
    c = s.Counters();
    EXPECT_EQ(c.connections, 1u);
    EXPECT_EQ(c.connectionsIdle, 8u);
    EXPECT_EQ(c.bufferedBytes, 0u);

    Streams none;
    PacketLogEntry udp = Segment(Client(), kServer, 0, kBye);
    udp.ipProtocol = kIpProtoUdp;
    none.Feed(udp);
    EXPECT_TRUE(none.got.empty());
    EXPECT_EQ(none.Counters().segments, 0u);
}

TEST(SipTcpStreams, TenThousandConnectionsWithHolesStayBounded) {
    Streams s;
    const std::string held(1000, 'h');
    for (uint32_t n = 0; n < 10000; ++n) {
        s.Feed(Segment(Client(n), kServer, 1000, "", kSyn, 1'000'000));
        s.Send(1001, 500, held, 1'000'000, n);
    }
    SipTcpCounters c = s.Counters();
    EXPECT_EQ(c.connections, kMaxTcpConnections);
    EXPECT_EQ(c.connectionsEvicted, 10000u - kMaxTcpConnections);
    EXPECT_EQ(c.bufferedBytes, kMaxTcpConnections * (held.size() + kTcpHeldSegmentOverhead));
    EXPECT_EQ(c.droppedHeldBytes, (10000u - kMaxTcpConnections) * held.size());

    // Connections that each hold nearly their bound: the idlest go past the total bound.
    SipTcpLimits limits;
    limits.bufferedBytes = size_t(4) << 20;
    Streams big(limits);
    const std::string chunk(60000, 'h');
    for (uint32_t n = 0; n < 100; ++n) {
        big.Send(1, 0, "x", 1'000'000, n);
        for (size_t k = 0; k < 4; ++k) {
            big.Send(1, 1000 + k * chunk.size(), chunk, 1'000'000, n);
            ASSERT_LE(big.Counters().bufferedBytes, limits.bufferedBytes);
        }
    }
    c = big.Counters();
    EXPECT_GT(c.connectionsShed, 70u);
    EXPECT_EQ(c.holes, 0u) << "four 60000-byte segments stay below the per-direction bound";
}

}  // namespace
