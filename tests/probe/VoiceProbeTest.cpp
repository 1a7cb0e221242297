// Probes marked with a DSCP and kept on one flow, followed through the whole chain without a
// network: built here, quoted by a router's ICMP error as the wire would carry it, decoded by
// the capture's decoder and matched back to their number.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <set>

#include "capture/Decode.h"
#include "capture/FrameBuilder.h"
#include "probe/ProbeMatch.h"
#include "probe/ProbePackets.h"

namespace {

const uint32_t kUs = Addr(10, 0, 0, 5);
const uint32_t kRouter = Addr(192, 0, 2, 1);
const uint32_t kTarget = Addr(198, 51, 100, 7);
constexpr uint16_t kSrcPort = 40001;
constexpr uint16_t kIdent = 0x4f43;
// The last number of the UDP sequence space.
constexpr int32_t kLastUdpSeq = 65536 - kProbeBasePort - 1;

SniffResult Decode(const Bytes& frame) {
    PacketLogEntry entry;
    SniffResult reply;
    DecodeFrame(kLinkEthernet, FrameHeader{1700000000, 0, static_cast<uint32_t>(frame.size())}, frame, entry, reply);
    return reply;
}

ProbeIdentity Identity(int32_t protocol, bool fixedFlow, const std::string& target = "198.51.100.7") {
    ProbeIdentity id{protocol, target, kSrcPort, kIdent, kProbeBasePort, IpAddress::Parse(target).value_or(IpAddress{})};
    id.fixedFlow = fixedFlow;
    return id;
}

// The fixed-flow UDP probe `seq` as the kernel sends it: header, payload, and the checksum the
// kernel computes over the pseudo-header; TOS byte `tos`.
Bytes UdpFlowProbe(int32_t seq, uint8_t tos) {
    const auto payload = BuildUdpFlowPayload(htonl(kUs), htonl(kTarget), kSrcPort, kProbeBasePort, seq);
    Bytes udp = Udp(kSrcPort, kProbeBasePort, Bytes(payload.begin(), payload.end()));
    const uint16_t sum = UdpChecksum(htonl(kUs), htonl(kTarget), udp.data(), udp.size());
    udp[6] = static_cast<uint8_t>(sum >> 8);
    udp[7] = static_cast<uint8_t>(sum);
    Bytes ip = Ipv4(kUs, kTarget, 17, udp, 1);
    ip[1] = tos;
    return ip;
}

Bytes TimeExceeded(const Bytes& quoted, size_t quoteBytes) {
    return Ethernet(kEthIpv4, Ipv4(kRouter, kUs, 1, IcmpError(11, 0, quoted, quoteBytes)));
}

}  // namespace

TEST(FixedFlowUdp, TheChecksumCarriesTheNumberAndEitherQuoteGivesItBack) {
    std::set<uint16_t> checksums;
    for (int32_t seq : {0, 1, 77, 4242, kLastUdpSeq}) {
        SCOPED_TRACE(seq);
        const Bytes probe = UdpFlowProbe(seq, DscpTos(46));
        const uint16_t sum = static_cast<uint16_t>(probe[20 + 6] << 8 | probe[20 + 7]);
        EXPECT_EQ(sum, UdpFlowChecksum(seq));
        EXPECT_EQ(UdpFlowSeq(sum), seq);
        checksums.insert(sum);
        // The ports stay those of the run whatever the number.
        EXPECT_EQ(probe[20 + 2] << 8 | probe[20 + 3], kProbeBasePort);

        // A router that quotes only 8 bytes of UDP: the checksum tells the probe.
        const SniffResult shortQuote = Decode(TimeExceeded(probe, 28));
        ASSERT_TRUE(shortQuote.valid);
        EXPECT_EQ(shortQuote.probeFlowSeq, -1);
        EXPECT_EQ(shortQuote.probeDscp, 46);
        EXPECT_EQ(MatchProbeReply(shortQuote, Identity(kProbeUdp, true)), seq);
        // The whole datagram quoted: the payload tells it, even where offload left the
        // checksum unfinished.
        Bytes unfinished = probe;
        unfinished[20 + 6] = 0x12;
        unfinished[20 + 7] = 0x34;
        const SniffResult full = Decode(TimeExceeded(unfinished, unfinished.size()));
        EXPECT_EQ(full.probeFlowSeq, seq);
        EXPECT_EQ(MatchProbeReply(full, Identity(kProbeUdp, true)), seq);
        // Without fixed flow the same reply is no probe of ours: port 33434 is number 0 then.
        if (seq != 0) {
            EXPECT_NE(MatchProbeReply(shortQuote, Identity(kProbeUdp, false)), seq);
        }
    }
    EXPECT_EQ(checksums.size(), 5u);
    // A probe of another destination port is not one of a fixed-flow run.
    Bytes other = UdpFlowProbe(9, 0);
    other[20 + 3] = static_cast<uint8_t>(other[20 + 3] + 1);
    EXPECT_EQ(MatchProbeReply(Decode(TimeExceeded(other, 28)), Identity(kProbeUdp, true)), -1);
}

TEST(FixedFlowUdp, Ipv6ChecksumOverItsPseudoHeader) {
    std::array<uint8_t, 16> src{}, dst{};
    inet_pton(AF_INET6, "fd00:200:1::1", src.data());
    inet_pton(AF_INET6, "fd00:200:4::2", dst.data());
    for (int32_t seq : {3, 30000}) {
        const auto payload = BuildUdpFlowPayload6(src, dst, kSrcPort, kProbeBasePort, seq);
        Bytes udp = Udp(kSrcPort, kProbeBasePort, Bytes(payload.begin(), payload.end()));
        EXPECT_EQ(UdpChecksum6(src, dst, udp.data(), udp.size()), UdpFlowChecksum(seq));
    }
}

TEST(FixedFlowIcmp, ChecksumAndIdentifierStayTheSame) {
    std::set<uint16_t> checksums;
    for (int32_t seq : {0, 1, 2, 999, 65535}) {
        const auto echo = BuildIcmpEcho(kIdent, seq, true);
        checksums.insert(static_cast<uint16_t>(echo[2] << 8 | echo[3]));
        EXPECT_EQ(echo[6] << 8 | echo[7], seq);
        EXPECT_EQ(InternetChecksum(echo.data(), echo.size()), 0) << "a valid checksum";
        const auto v6 = BuildIcmpv6Echo(kIdent, seq, true);
        EXPECT_EQ((v6[6] << 8 | v6[7]) + (v6[8] << 8 | v6[9]), 0xFFFF) << "the sum the kernel's checksum covers";
    }
    EXPECT_EQ(checksums.size(), 1u);
    // Off, the checksum follows the sequence number as before.
    EXPECT_NE(BuildIcmpEcho(kIdent, 1)[3], BuildIcmpEcho(kIdent, 2)[3]);
}

TEST(FixedFlowTcp, OneSourcePortAndTheNumberInTheSequenceAndTheAcknowledgement) {
    TcpSynParams p;
    p.srcIpNet = htonl(kUs);
    p.dstIpNet = htonl(kTarget);
    p.ttl = 3;
    p.seq = 321;
    p.tos = DscpTos(34);
    p.fixedFlow = true;
    const auto frame = BuildTcpSynFrame(p);
    EXPECT_EQ(frame[14 + 1], 34 << 2);
    EXPECT_EQ(frame[34] << 8 | frame[35], kProbeBasePort);
    const Bytes datagram(frame.begin() + 14, frame.end());

    // Time Exceeded quoting 8 bytes of the SYN: the sequence number tells the probe.
    const SniffResult quoted = Decode(TimeExceeded(datagram, 28));
    EXPECT_EQ(quoted.probeDscp, 34);
    EXPECT_EQ(MatchProbeReply(quoted, Identity(kProbeTcp, true)), 321);
    // Only 4 bytes quoted: the ports, but no number.
    EXPECT_EQ(MatchProbeReply(Decode(TimeExceeded(datagram, 24)), Identity(kProbeTcp, true)), -1);

    // The target's SYN-ACK acknowledges seq + 1.
    Bytes synAck = Tcp(80, kProbeBasePort, 0x12);
    synAck[8] = 0, synAck[9] = 0, synAck[10] = 0x01, synAck[11] = 0x42;  // ack 322
    const SniffResult answer = Decode(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, synAck)));
    EXPECT_EQ(answer.probeDscp, -1) << "a segment quotes nothing";
    EXPECT_EQ(MatchProbeReply(answer, Identity(kProbeTcp, true)), 321);
    // A bare RST acknowledges nothing: no probe of a fixed-flow run.
    EXPECT_EQ(MatchProbeReply(Decode(Ethernet(kEthIpv4, Ipv4(kTarget, kUs, 6, Tcp(80, kProbeBasePort, 0x04)))),
                              Identity(kProbeTcp, true)),
              -1);

    // Off: the source port carries the number as before, and the marking is still there.
    p.fixedFlow = false;
    const auto plain = BuildTcpSynFrame(p);
    EXPECT_EQ(plain[34] << 8 | plain[35], kProbeBasePort + 321);
    EXPECT_EQ(MatchProbeReply(Decode(TimeExceeded(Bytes(plain.begin() + 14, plain.end()), 28)),
                              Identity(kProbeTcp, false)),
              321);
}

TEST(ProbeDscp, Ipv6TrafficClassIsBuiltAndReadBackFromAnIcmpv6Quote) {
    TcpSyn6Params p;
    inet_pton(AF_INET6, "fd00:200:1::1", p.srcIp.data());
    inet_pton(AF_INET6, "fd00:200:4::2", p.dstIp.data());
    p.hopLimit = 2;
    p.seq = 5;
    p.trafficClass = DscpTos(46);
    const auto frame = BuildTcpSyn6Frame(p);
    EXPECT_EQ(frame[14], 0x6B);  // version 6, upper nibble of 0xB8
    EXPECT_EQ(frame[15], 0x80);  // its lower nibble, flow label zero
    const Bytes datagram(frame.begin() + 14, frame.end());
    const Bytes error = Ethernet(0x86DD, Ipv6(V6("fd00:200:2::2"), Bytes(p.srcIp.begin(), p.srcIp.end()), 58,
                                              Icmpv6(3, 0, 0, 0, datagram)));
    const SniffResult r = Decode(error);
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.probeDscp, 46);
    EXPECT_EQ(MatchProbeReply(r, Identity(kProbeTcp, false, "fd00:200:4::2")), 5);
    // An echo reply quotes nothing: no DSCP seen.
    const SniffResult echo = Decode(Ethernet(0x86DD, Ipv6(V6("fd00:200:4::2"), V6("fd00:200:1::1"), 58,
                                                          Icmpv6(129, 0, kIdent, 7))));
    EXPECT_EQ(echo.probeDscp, -1);
}
