#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>
#include "lib/TestSupport.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "lib/ProbeReplies.h"
#include "capture/Decode.h"
#include "capture/FrameBuilder.h"

using probetest::ReplyFor;

namespace {

ProbeIdentity TestIdentity(int32_t protocol, const std::string& target) {
    return ProbeIdentity{protocol, target, 40404, 0x1234, kProbeBasePort, IpAddress::Parse(target).value()};
}

using testsupport::WaitFor;

}  // namespace

TEST(MtrHopStats, AveragesBestWorstAndRfc3550Jitter) {
    MtrCore core;
    const ProbeIdentity id = TestIdentity(kProbeIcmp, "10.0.0.9");
    core.PrepareForTesting(id);
    const int64_t t0 = 1'000'000'000;
    auto Reply = [&](const std::string& from, int32_t seq, int64_t ts) { return ReplyFor(id, seq, from, ts); };
    core.AddPendingForTesting(1, 4, t0);
    core.OnSniffResult(Reply("10.0.0.4", 1, t0 + 125'000));  // 12.5 ms
    auto h = core.GetHops().at(4);
    EXPECT_EQ(h.received, 1);
    EXPECT_EQ(h.host, "10.0.0.4");
    EXPECT_DOUBLE_EQ(h.lastMs, 12.5);
    EXPECT_DOUBLE_EQ(h.bestMs, 12.5);
    EXPECT_DOUBLE_EQ(h.worstMs, 12.5);
    EXPECT_DOUBLE_EQ(h.avgMs, 12.5);
    EXPECT_DOUBLE_EQ(h.jitterMs, 0.0);
    EXPECT_DOUBLE_EQ(h.prevMs, 12.5);

    core.AddPendingForTesting(2, 4, t0);
    core.OnSniffResult(Reply("10.0.0.4", 2, t0 + 145'000));  // 14.5 ms
    h = core.GetHops().at(4);
    EXPECT_EQ(h.received, 2);
    EXPECT_DOUBLE_EQ(h.avgMs, 13.5);
    EXPECT_DOUBLE_EQ(h.worstMs, 14.5);
    EXPECT_DOUBLE_EQ(h.bestMs, 12.5);
    EXPECT_DOUBLE_EQ(h.jitterMs, 0.125);  // 2.0 x 1/16

    // A third reply of 10.5 ms: jitter 0.125 + (4.0 - 0.125) / 16.
    core.AddPendingForTesting(3, 4, t0);
    core.OnSniffResult(Reply("10.0.0.44", 3, t0 + 105'000));
    h = core.GetHops().at(4);
    EXPECT_DOUBLE_EQ(h.bestMs, 10.5);
    EXPECT_NEAR(h.avgMs, 12.5, 1e-12);
    EXPECT_DOUBLE_EQ(h.jitterMs, 0.125 + (4.0 - 0.125) * 0.0625);
    EXPECT_EQ(h.host, "10.0.0.44");  // the latest source wins

    // A reply time stamped before its probe counts as 0.1 ms; a second reply finds nothing.
    core.AddPendingForTesting(5, 6, t0);
    core.OnSniffResult(Reply("10.0.0.6", 5, t0 - 10));
    EXPECT_DOUBLE_EQ(core.GetHops().at(6).lastMs, 0.1);
    core.OnSniffResult(Reply("10.0.0.6", 5, t0 + 50'000));
    EXPECT_EQ(core.GetHops().at(6).received, 1);

    // A reply older than the expiry age (a retransmitted SYN-ACK, say) counts its probe as lost.
    core.AddPendingForTesting(6, 6, t0);
    core.OnSniffResult(Reply("10.0.0.6", 6, t0 + kMtrExpiryTicks + 450'000));
    EXPECT_EQ(core.GetHops().at(6).received, 1);
    EXPECT_EQ(core.GetHops().at(6).lost, 1);
    EXPECT_DOUBLE_EQ(core.GetHops().at(6).worstMs, 0.1);
    EXPECT_EQ(core.PendingCountForTesting(), 0u);

    // Invalid results and unknown numbers change nothing.
    SniffResult invalid = ReplyFor(id, 5, "10.0.0.6", t0);
    invalid.valid = false;
    core.OnSniffResult(invalid);
    core.OnSniffResult(Reply("10.0.0.7", 999, t0));
    EXPECT_EQ(core.GetHops().size(), 2u);
}

TEST(MtrHopStats, UnansweredHopKeepsInitialValuesAndReportShowsThem) {
    HopStats h;
    h.host = "???";
    h.sent = 3;
    h.lost = 1;
    EXPECT_DOUBLE_EQ(h.bestMs, 9999.0);
    EXPECT_DOUBLE_EQ(h.prevMs, -1.0);
    EXPECT_NEAR(HopLossPercent(h), 33.333, 0.001);
    EXPECT_DOUBLE_EQ(HopLossPercent(HopStats{}), 0.0);

    std::map<int32_t, HopStats> hops;
    hops[1] = h;
    HopStats t;
    t.host = "10.200.4.2";
    t.sent = t.received = 2;
    t.lastMs = t.avgMs = t.bestMs = t.worstMs = 25.04;
    t.jitterMs = 0.125;
    hops[2] = t;
    hops[3] = t;  // above maxHops: not shown
    std::string table = FormatMtrTable(hops, 2);
    EXPECT_EQ(table.substr(0, table.find('\n')),
              "Salto  Host/IP     Perda %  Env  Rec  Perd      Ult      Med       Melh     Pior   Jitter   MOS");
    EXPECT_NE(table.find("    1  ???           33.3%    3    0     1   0.0 ms   0.0 ms  9999.0 ms   0.0 ms  0.00 ms     -\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("    2  10.200.4.2     0.0%    2    2     0  25.0 ms  25.0 ms    25.0 ms  25.0 ms  0.12 ms  4.40\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);

    const std::string json = FormatMtrJson("10.200.4.2", kProbeTcp, hops, 2);
    ASSERT_EQ(json.back(), '\n');
    const auto doc = nlohmann::ordered_json::parse(json);
    std::vector<std::string> keys;
    for (const auto& [k, v] : doc.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"target", "protocol", "hops"}));
    EXPECT_EQ(doc["target"], "10.200.4.2");
    EXPECT_EQ(doc["protocol"], "tcp");
    ASSERT_EQ(doc["hops"].size(), 2u) << json;  // hop 3 lies above maxHops
    const auto& first = doc["hops"][0];
    keys.clear();
    for (const auto& [k, v] : first.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"ttl", "host", "name", "loss_pct", "sent", "received", "lost", "last_ms",
                                              "avg_ms", "best_ms", "worst_ms", "jitter_ms", "mos", "responders",
                                              "history"}));
    EXPECT_EQ(first["ttl"], 1);
    EXPECT_EQ(first["host"], "???");
    EXPECT_EQ(first["name"], "");
    EXPECT_EQ(first["sent"], 3);
    EXPECT_EQ(first["received"], 0);
    EXPECT_EQ(first["lost"], 1);
    EXPECT_TRUE(first["mos"].is_null());
    EXPECT_EQ(first["responders"], nlohmann::ordered_json::array());
    EXPECT_EQ(first["history"], nlohmann::ordered_json::array());
    // Figures at the tables' precision, without the binary tail of 33.333... or 25.04.
    EXPECT_NE(json.find("\"loss_pct\":33.3,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"best_ms\":9999.0,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"avg_ms\":25.04,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"jitter_ms\":0.125,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"mos\":4.4,"), std::string::npos) << json;
    EXPECT_EQ(doc["hops"][1]["ttl"], 2);

    hops[1].host = "a\"b\\c\n";
    const std::string escaped = FormatMtrJson("x", kProbeUdp, hops, 2);
    EXPECT_NE(escaped.find("\"a\\\"b\\\\c\\n\""), std::string::npos) << escaped;
    EXPECT_EQ(nlohmann::json::parse(escaped)["hops"][0]["host"], "a\"b\\c\n");
    // A name that is not UTF-8 (a reverse lookup's bytes) is printed replaced, never thrown.
    hops[1].host = "r\xff.example";
    EXPECT_EQ(nlohmann::json::parse(FormatMtrJson("x", kProbeUdp, hops, 2))["hops"][0]["host"], "r\xef\xbf\xbd.example");
}

TEST(MtrReplyMatching, TargetDetectionOnlyLowersTheLimit) {
    MtrCore core;
    const ProbeIdentity id = TestIdentity(kProbeUdp, "10.0.0.99");
    core.PrepareForTesting(id);
    const int64_t t0 = 5'000'000;
    auto answer = [&](int32_t seq, int32_t ttl, const std::string& from, int32_t type) {
        core.AddPendingForTesting(seq, ttl, t0);
        core.OnSniffResult(ReplyFor(id, seq, from, t0 + 10'000, type));
    };
    answer(0, 9, "10.0.0.99", 3);  // port unreachable from the target
    EXPECT_EQ(core.MaxHops(), 9);
    answer(1, 11, "10.0.0.99", 3);
    EXPECT_EQ(core.MaxHops(), 9);
    answer(2, 7, "10.0.0.99", 0);  // same address, any type
    EXPECT_EQ(core.MaxHops(), 7);
    answer(3, 5, "10.0.0.5", 11);  // time exceeded from a router: no change
    EXPECT_EQ(core.MaxHops(), 7);
    answer(4, 3, "10.0.0.3", 3);  // unreachable from a router lowers it as well
    EXPECT_EQ(core.MaxHops(), 3);
    // UDP numbers are ports: a port below 33434 gives a negative number and is ignored.
    core.AddPendingForTesting(0, 2, t0);
    SniffResult low = ReplyFor(id, 0, "10.0.0.2", t0 + 10'000);
    low.probeDstPort = 33433;
    low.origSeq = 33433;
    core.OnSniffResult(low);
    EXPECT_EQ(core.GetHops().count(2), 0u);
    core.Clear();
    EXPECT_EQ(core.MaxHops(), 30);
}

// IPv6 replies as the decoder hands them over: a router's time exceeded and the target's
// port unreachable quoting our UDP probes count; the same error quoting a probe to another
// address, or from another source port, does not.
TEST(MtrReplyMatching, Ipv6RepliesFromTheDecoderMatchTheirProbes) {
    MtrCore core;
    const ProbeIdentity id = TestIdentity(kProbeUdp, "2001:db8:2::7");
    core.PrepareForTesting(id);
    const Bytes us = V6("2001:db8:1::5"), target = V6("2001:db8:2::7"), router = V6("2001:db8:ff::1");
    auto probe = [&](int32_t seq, const Bytes& dst, uint16_t sport) {
        return Ipv6(us, dst, 17, Udp(sport, ProbePort(id.basePort, seq), Bytes(10, 0)), 1);
    };
    auto feed = [&](const Bytes& from, uint8_t type, uint8_t code, const Bytes& quoted, uint32_t usec) {
        const Bytes frame = Ethernet(kEthIpv6, Ipv6(from, us, 58, Icmpv6(type, code, 0, 0, quoted)));
        PacketLogEntry entry;
        SniffResult reply;
        const FrameHeader header{5, usec, static_cast<uint32_t>(frame.size())};
        if (DecodeFrame(kLinkEthernet, header, frame, entry, reply).reply) core.OnSniffResult(reply);
    };
    const int64_t t0 = 5 * 10'000'000LL;  // 5 s in 100-ns ticks
    core.AddPendingForTesting(1, 1, t0);
    core.AddPendingForTesting(2, 4, t0);
    feed(router, 3, 0, probe(1, V6("2001:db8:2::8"), id.udpSourcePort), 1000);  // another target
    feed(router, 3, 0, probe(1, target, static_cast<uint16_t>(id.udpSourcePort + 1)), 1000);  // another socket
    EXPECT_TRUE(core.GetHops().empty());
    feed(router, 3, 0, probe(1, target, id.udpSourcePort), 2500);
    feed(target, 1, 4, probe(2, target, id.udpSourcePort), 4000);
    auto hops = core.GetHops();
    EXPECT_EQ(hops[1].host, "2001:db8:ff::1");
    EXPECT_DOUBLE_EQ(hops[1].lastMs, 2.5);
    EXPECT_EQ(hops[4].host, "2001:db8:2::7");
    EXPECT_EQ(core.MaxHops(), 4);  // the target's port unreachable ends the path
}

// Replies that look like ours but answer another program's probes change nothing; the genuine
// reply to the same probe number still counts afterwards.
class MtrForeignReplies : public ::testing::TestWithParam<int32_t> {};

TEST_P(MtrForeignReplies, OnlyRepliesToOurOwnProbesCount) {
    const int32_t proto = GetParam();
    MtrCore core;
    const ProbeIdentity id = TestIdentity(proto, "10.0.0.99");
    core.PrepareForTesting(id);
    const int64_t t0 = 7'000'000;
    core.AddPendingForTesting(5, 2, t0);  // probe 5 at hop 2 (router 10.0.0.2)
    core.AddPendingForTesting(6, 4, t0);  // probe 6 at hop 4 (the target)

    std::vector<SniffResult> foreign;
    for (int32_t seq : {5, 6}) {
        const std::string from = seq == 5 ? "10.0.0.2" : "10.0.0.99";
        SniffResult r = ReplyFor(id, seq, from, t0 + 1'000);
        SniffResult otherDst = r;  // a probe to somewhere else, quoted by a router on the way
        otherDst.probeDst = "10.0.0.77";
        otherDst.probeDstAddr = *IpAddress::Parse("10.0.0.77");
        if (r.kind == ReplyKind::EchoReply || r.kind == ReplyKind::TcpSegment) {
            otherDst.fromIp = "10.0.0.77";
            otherDst.fromAddr = otherDst.probeDstAddr;
        }
        foreign.push_back(otherDst);
        SniffResult otherIdent = r;  // another program's ping / traceroute socket
        otherIdent.probeIdent ^= 0x0101;
        otherIdent.probeSrcPort = proto == kProbeUdp ? 50000 : otherIdent.probeSrcPort;
        otherIdent.probeDstPort = proto == kProbeTcp ? 443 : otherIdent.probeDstPort;
        foreign.push_back(otherIdent);
        SniffResult wrongKind = r;  // a reply of another protocol carrying the same number
        wrongKind.kind = proto == kProbeIcmp ? ReplyKind::QuotedUdp : ReplyKind::EchoReply;
        foreign.push_back(wrongKind);
    }
    // An echo reply to someone's ping of hop 2 with our sequence number and identifier.
    SniffResult hopEcho = ReplyFor(id, 5, "10.0.0.99", t0 + 1'000);
    hopEcho.kind = ReplyKind::EchoReply;
    hopEcho.fromIp = hopEcho.probeDst = "10.0.0.2";
    hopEcho.fromAddr = hopEcho.probeDstAddr = *IpAddress::Parse("10.0.0.2");
    foreign.push_back(hopEcho);
    // A TCP segment from the target's port 80 to a port that is not a probe port.
    SniffResult lowPort = ReplyFor(id, 6, "10.0.0.99", t0 + 1'000);
    lowPort.kind = ReplyKind::TcpSegment;
    lowPort.probeSrcPort = 33000;
    lowPort.probeDstPort = kProbeTcpPort;
    foreign.push_back(lowPort);

    for (const auto& r : foreign) core.OnSniffResult(r);
    EXPECT_TRUE(core.GetHops().empty());
    EXPECT_EQ(core.PendingCountForTesting(), 2u);
    EXPECT_EQ(core.MaxHops(), 30);

    core.OnSniffResult(ReplyFor(id, 5, "10.0.0.2", t0 + 20'000));
    core.OnSniffResult(ReplyFor(id, 6, "10.0.0.99", t0 + 30'000));
    auto hops = core.GetHops();
    EXPECT_EQ(hops[2].received, 1);
    EXPECT_EQ(hops[2].host, "10.0.0.2");
    EXPECT_DOUBLE_EQ(hops[2].lastMs, 2.0);
    EXPECT_EQ(hops[4].received, 1);
    EXPECT_EQ(core.MaxHops(), 4);
    EXPECT_EQ(core.PendingCountForTesting(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, MtrForeignReplies, ::testing::Values(kProbeUdp, kProbeIcmp, kProbeTcp));

TEST(MtrReplyMatching, ReplyToAProbeSentBeforeClearIsIgnored) {
    MtrCore core;
    const ProbeIdentity id = TestIdentity(kProbeIcmp, "10.0.0.99");
    core.PrepareForTesting(id);
    core.AddPendingForTesting(7, 3, 1'000'000);
    core.OnPacketLog(PacketLogEntry{});
    core.Clear();
    EXPECT_TRUE(core.GetHops().empty());
    EXPECT_EQ(core.GetLog().size(), 1u);  // Clear keeps the packet log
    EXPECT_EQ(core.PendingCountForTesting(), 0u);
    core.OnSniffResult(ReplyFor(id, 7, "10.0.0.3", 1'200'000));
    EXPECT_TRUE(core.GetHops().empty());
}

TEST(MtrPacketLog, KeepsTheNewestThousand) {
    MtrCore core;
    for (int i = 0; i < 1001; ++i) {
        PacketLogEntry e;
        e.wireLength = static_cast<uint32_t>(i);
        core.OnPacketLog(e);
    }
    auto log = core.GetLog();
    ASSERT_EQ(log.size(), 1000u);
    EXPECT_EQ(log.front().wireLength, 1u);
    EXPECT_EQ(log.back().wireLength, 1000u);
}

TEST(MtrRunControl, PcapNameAndSequenceSpace) {
    EXPECT_EQ(MtrPcapFileName("07122026_143005", kProbeIcmp), "07122026_143005_icmp.pcap");
    EXPECT_EQ(MtrPcapFileName("07122026_143005", kProbeUdp), "07122026_143005_udp.pcap");
    EXPECT_EQ(MtrPcapFileName("07122026_143005", kProbeTcp), "07122026_143005_tcp.pcap");
    EXPECT_EQ(MtrPcapFileName("x", 7), "x_icmp.pcap");
    EXPECT_EQ(kProbeBasePort + MtrSequenceSpace(kProbeUdp) - 1, 65535);
    EXPECT_EQ(MtrSequenceSpace(kProbeIcmp), 65536);
}

// A fake path: hop k answers from 10.0.0.k, the target sits at hop `targetTtl`; each probe is
// answered at once (on the loop thread) with the number the real reply would carry.
struct FakePath {
    MtrCore& core;
    int32_t targetTtl;
    std::set<int32_t> silentTtls;
    std::mutex m;
    std::vector<int32_t> seqs;
    std::vector<int32_t> carried;

    int32_t Send(int32_t ttl, int32_t seq, int32_t proto) {
        int32_t onWire = proto == kProbeIcmp ? (seq & 0xFFFF) : ProbePort(kProbeBasePort, seq);
        {
            std::lock_guard<std::mutex> lock(m);
            seqs.push_back(seq);
            carried.push_back(onWire);
        }
        if (silentTtls.count(ttl)) return seq;
        bool atTarget = ttl >= targetTtl;
        std::string from = atTarget ? "10.0.0.99" : "10.0.0." + std::to_string(ttl);
        core.OnSniffResult(ReplyFor(core.Identity(), seq, from, MtrNowTicks() + 20'000));
        return seq;
    }
};

class MtrSequenceWrap : public ::testing::TestWithParam<int32_t> {};

TEST_P(MtrSequenceWrap, CounterWrapsAndEveryProbeStaysMatchable) {
    const int32_t proto = GetParam();
    MtrCore core;
    FakePath path{core, 4, {}, {}, {}, {}};
    const int32_t space = MtrSequenceSpace(proto);
    core.SetNextSeqForTesting(space - 3);
    core.SetCycleLimit(3);
    ASSERT_TRUE(core.StartWithoutNetworkForTesting(
        "10.0.0.99", proto, [&](int32_t t, int32_t s, int32_t p) { return path.Send(t, s, p); }, 1, 1100));
    ASSERT_TRUE(WaitFor([&] { return core.ProbingFinished(); }, 10000));
    core.Stop();

    std::lock_guard<std::mutex> lock(path.m);
    ASSERT_GE(path.seqs.size(), 12u);
    EXPECT_EQ(path.seqs[0], space - 3);
    EXPECT_EQ(path.seqs[2], space - 1);
    EXPECT_EQ(path.seqs[3], 0);  // wrapped instead of leaving the carrier's range
    for (size_t i = 0; i < path.seqs.size(); ++i) {
        EXPECT_GE(path.seqs[i], 0);
        EXPECT_LT(path.seqs[i], space);
        if (proto != kProbeIcmp) {
            EXPECT_GE(path.carried[i], kProbeBasePort);
            EXPECT_LE(path.carried[i], 65535);
        }
    }
    auto hops = core.GetHops();
    EXPECT_EQ(core.MaxHops(), 4);
    for (int ttl = 1; ttl <= 4; ++ttl) {
        EXPECT_EQ(hops[ttl].lost, 0) << ttl;
        EXPECT_EQ(hops[ttl].received, hops[ttl].sent) << ttl;
        EXPECT_GE(hops[ttl].sent, 3) << ttl;
    }
    EXPECT_EQ(hops[4].host, "10.0.0.99");
    EXPECT_EQ(core.PendingCountForTesting(), 0u);
}

// A counter left beyond the space (an ICMP run's number reused by a UDP run) is folded back.
TEST(MtrSequenceWrapFold, OutOfRangeCounterIsFoldedIntoTheSpace) {
    MtrCore core;
    FakePath path{core, 2, {}, {}, {}, {}};
    core.SetNextSeqForTesting(65000);  // valid for ICMP, beyond the UDP space of 32102
    core.SetCycleLimit(1);
    ASSERT_TRUE(core.StartWithoutNetworkForTesting(
        "10.0.0.99", kProbeUdp, [&](int32_t t, int32_t s, int32_t p) { return path.Send(t, s, p); }, 1, 50));
    ASSERT_TRUE(WaitFor([&] { return core.ProbingFinished(); }, 5000));
    core.Stop();
    std::lock_guard<std::mutex> lock(path.m);
    ASSERT_FALSE(path.seqs.empty());
    EXPECT_EQ(path.seqs[0], 65000 % MtrSequenceSpace(kProbeUdp));
    EXPECT_EQ(core.GetHops()[2].received, 1);
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, MtrSequenceWrap, ::testing::Values(kProbeUdp, kProbeIcmp, kProbeTcp));

TEST(MtrLoop, UnansweredProbesExpireAsLostAndTheLimitShrinks) {
    MtrCore core;
    FakePath path{core, 3, {2}, {}, {}, {}};
    core.SetCycleLimit(2);
    ASSERT_TRUE(core.StartWithoutNetworkForTesting(
        "10.0.0.99", kProbeUdp, [&](int32_t t, int32_t s, int32_t p) { return path.Send(t, s, p); }, 1, 1010));
    EXPECT_FALSE(core.StartWithoutNetworkForTesting("10.0.0.99", kProbeUdp, nullptr));
    EXPECT_EQ(core.LastStartError(), StartError::AlreadyRunning);
    ASSERT_TRUE(WaitFor([&] { return core.ProbingFinished(); }, 10000));
    core.Stop();
    auto hops = core.GetHops();
    ASSERT_EQ(hops.count(2), 1u);
    EXPECT_EQ(hops[2].host, "???");
    EXPECT_EQ(hops[2].sent, 2);
    EXPECT_EQ(hops[2].lost, 2);  // the final sweep counted the last cycle too
    EXPECT_DOUBLE_EQ(hops[2].bestMs, 9999.0);
    EXPECT_EQ(hops[1].received, 2);
    EXPECT_EQ(core.MaxHops(), 3);
    // The first cycle reached TTL 3 before the target answered; later cycles stop there.
    EXPECT_EQ(hops.rbegin()->first, 3);
    EXPECT_EQ(core.PendingCountForTesting(), 0u);
}

TEST(MtrLoop, ClearDuringARunRebuildsRowsFromTtlOne) {
    MtrCore core;
    FakePath path{core, 5, {}, {}, {}, {}};
    ASSERT_TRUE(core.StartWithoutNetworkForTesting(
        "10.0.0.99", kProbeIcmp, [&](int32_t t, int32_t s, int32_t p) { return path.Send(t, s, p); }, 2, 150));
    ASSERT_TRUE(WaitFor([&] { return core.GetHops().size() >= 5 && core.MaxHops() == 5; }, 5000));
    core.Clear();
    EXPECT_EQ(core.MaxHops(), 30);
    // Rows come back from TTL 1 within one cycle, and the target lowers the limit again.
    ASSERT_TRUE(WaitFor(
        [&] {
            auto h = core.GetHops();
            return h.count(1) && h.count(5) && core.MaxHops() == 5;
        },
        5000));
    EXPECT_TRUE(core.IsRunning());
    core.Stop();
    EXPECT_FALSE(core.IsRunning());
    auto hops = core.GetHops();
    for (const auto& [ttl, h] : hops) {
        EXPECT_EQ(h.lost, 0) << ttl;
        EXPECT_LE(h.received, h.sent + 1) << ttl;  // a reply may be counted before its send
        if (ttl < 5) {
            EXPECT_EQ(h.host, "10.0.0." + std::to_string(ttl));
        }
    }
}

// A probing loop that fails ends the run by itself: the engine says so and why, and keeps
// saying it after Stop, until the next start.
TEST(MtrHealth, AFailedProbingLoopLeavesAStoppedStateWithItsCause) {
    MtrCore core;
    std::atomic<int> sends{0};
    ASSERT_TRUE(core.StartWithoutNetworkForTesting(
        "10.0.0.99", kProbeUdp,
        [&](int32_t, int32_t seq, int32_t) -> int32_t {
            if (++sends == 3) throw std::runtime_error("sem memoria");
            return seq;
        },
        1, 10));
    ASSERT_TRUE(WaitFor([&] { return core.State() == MtrRunState::Stopped; }, 10000));
    EXPECT_FALSE(core.IsRunning());
    EXPECT_NE(core.StopCause().find("sem memoria"), std::string::npos) << core.StopCause();
    core.Stop();
    EXPECT_EQ(core.State(), MtrRunState::Stopped);
    EXPECT_EQ(sends.load(), 3);

    ASSERT_TRUE(core.StartWithoutNetworkForTesting("10.0.0.99", kProbeUdp, [](int32_t, int32_t s, int32_t) { return s; },
                                                   1, 10));
    EXPECT_EQ(core.State(), MtrRunState::Running);
    EXPECT_TRUE(core.StopCause().empty());
    core.Stop();
    EXPECT_EQ(core.State(), MtrRunState::Idle);
}

// "LIMPAR" during a run: the probes then still out are dropped and never counted anywhere,
// and the numbers of the next probes are not theirs.
TEST(MtrLoop, ClearDropsThePendingProbesAndKeepsTheirNumbersRetired) {
    MtrCore core;
    std::mutex m;
    std::vector<int32_t> seqs;
    ASSERT_TRUE(core.StartWithoutNetworkForTesting(
        "10.0.0.99", kProbeIcmp,
        [&](int32_t, int32_t seq, int32_t) {
            std::lock_guard<std::mutex> lock(m);
            seqs.push_back(seq);
            return seq;  // nobody answers
        },
        1, 5000));
    ASSERT_TRUE(WaitFor([&] { return core.PendingCountForTesting() >= 30u; }, 10000));
    core.Clear();
    EXPECT_EQ(core.PendingCountForTesting(), 0u);
    size_t before;
    {
        std::lock_guard<std::mutex> lock(m);
        before = seqs.size();
    }
    core.Stop();
    // A late reply to a probe from before the Clear finds nothing.
    core.OnSniffResult(ReplyFor(core.Identity(), 3, "10.0.0.3", MtrNowTicks()));
    for (const auto& [ttl, h] : core.GetHops()) EXPECT_EQ(h.received, 0) << ttl;
    std::lock_guard<std::mutex> lock(m);
    for (size_t i = before; i < seqs.size(); ++i) EXPECT_GE(seqs[i], 30) << "number handed out again after Clear";
}

// Starting on the engine's worker: the caller gets control back while the name server has
// not answered, sees "resolving", cannot start twice, and then learns the outcome.
TEST(MtrAsyncStart, ResolvesTheHostOffTheCallersThread) {
    MtrCore core;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inResolver{false};
    core.SetResolverForTesting([&](const std::string&, uint32_t&, std::string&) {
        inResolver = true;
        released.wait();
        return platform::ResolveStatus::NotFound;
    });
    ASSERT_TRUE(core.StartAsync("nome.que.demora", "", kProbeUdp, false));
    EXPECT_EQ(core.State(), MtrRunState::Resolving);
    EXPECT_EQ(core.StartHost(), "nome.que.demora");
    ASSERT_TRUE(WaitFor([&] { return inResolver.load(); }, 10000));
    EXPECT_FALSE(core.StartAsync("outro", "", kProbeUdp, false));
    EXPECT_EQ(core.State(), MtrRunState::Resolving);
    EXPECT_EQ(core.StartHost(), "nome.que.demora");
    release.set_value();
    ASSERT_TRUE(WaitFor([&] { return core.State() != MtrRunState::Resolving; }, 10000));
    EXPECT_EQ(core.State(), MtrRunState::Idle);
    EXPECT_EQ(core.LastStartError(), StartError::HostNotResolved);
    EXPECT_FALSE(core.IsRunning());
}

// A busy capture hands a reply over long after it arrived (its block is read at the read
// time-out, the machine is loaded). A probe answered in time is not lost because its answer
// was late in reaching the engine: the expiry waits for it, and the answer's capture time
// stamp decides. A reply stamped past the expiry age still counts as lost.
TEST(MtrLoop, AnswersDeliveredLateByTheCaptureStillCount) {
    for (bool stampedInTime : {true, false}) {
        SCOPED_TRACE(stampedInTime ? "stamped 0.2 ms after the probe" : "stamped 1.2 s after the probe");
        MtrCore core;
        core.SetReplyGraceForTesting(kMtrCaptureGraceTicks);
        core.SetCycleLimit(1);
        std::mutex m;
        std::vector<std::pair<int32_t, int64_t>> sent;  // seq, send time
        ASSERT_TRUE(core.StartWithoutNetworkForTesting(
            "10.0.0.99", kProbeUdp,
            [&](int32_t ttl, int32_t seq, int32_t) {
                std::lock_guard<std::mutex> lock(m);
                if (ttl == 1) sent.emplace_back(seq, MtrNowTicks());
                return 0;
            },
            1, 50));
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(m);
            return !sent.empty();
        }, 5000));
        // Handed over 1.5 s after the probe left: past the expiry age, inside the grace.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        int32_t seq;
        int64_t at;
        {
            std::lock_guard<std::mutex> lock(m);
            std::tie(seq, at) = sent.front();
        }
        EXPECT_FALSE(core.ProbingFinished()) << "the run ended with an answer still on its way";
        const int64_t stamp = at + (stampedInTime ? 2'000 : 12'000'000);
        core.OnSniffResult(ReplyFor(core.Identity(), seq, "10.0.0.1", stamp));
        ASSERT_TRUE(WaitFor([&] { return core.ProbingFinished(); }, 10000));
        core.Stop();
        const HopStats hop = core.GetHops().at(1);
        EXPECT_EQ(hop.sent, 1);
        EXPECT_EQ(hop.received, stampedInTime ? 1 : 0);
        EXPECT_EQ(hop.lost, stampedInTime ? 0 : 1);
        EXPECT_EQ(core.PendingCountForTesting(), 0u);
    }
}
