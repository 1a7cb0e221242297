// The MTR engine driven through its commands and snapshots, on a fake clock and network:
// reply matching, statistics, expiry, the sequence space, Clear, the run's causes, and that
// neither a slow send nor a hung start holds the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include "capture/Decode.h"
#include "capture/FrameBuilder.h"
#include "lib/MtrFakes.h"
#include "lib/ProbeReplies.h"
#include "mtr/HopTable.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "mtr/ProbeScheduler.h"
#include "ui/MtrTexts.h"

using mtrtest::FakeMtr;
using mtrtest::SentProbe;
using probetest::ReplyFor;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kMs = 10'000;  // ticks

// A run whose first cycle has sent every TTL, one per millisecond, and whose probes do not
// expire while the test answers them.
struct OpenRun : FakeMtr {
    explicit OpenRun(int32_t protocol, const std::string& target = "10.0.0.99") {
        net->target = target;
        net->grace = 1000LL * 10'000'000;
        started = Start(protocol, 0, 1, 600'000);
        clock->RunMs(kMtrMaxHops + 5, 1);
    }
    SentProbe ProbeAt(int32_t ttl) {
        for (const SentProbe& p : net->Sent())
            if (p.ttl == ttl) return p;
        ADD_FAILURE() << "no probe at TTL " << ttl;
        return {};
    }
    // Hands a reply over and returns the snapshot once the engine has taken it in.
    std::shared_ptr<const MtrSnapshot> Deliver(const SniffResult& r) {
        net->Reply(r);
        clock->Settle();
        return Snap();
    }
    // The reply `from` gives to the probe at `ttl`, `afterMs` after it left.
    SniffResult ReplyTo(int32_t ttl, const std::string& from, double afterMs, int32_t type = -1) {
        const SentProbe p = ProbeAt(ttl);
        return ReplyFor(net->Identity(), p.seq, from, p.ticks + static_cast<int64_t>(afterMs * kMs), type);
    }
    int32_t Received() {
        int32_t n = 0;
        for (const auto& [ttl, h] : Snap()->hops) n += h.received;
        return n;
    }
    std::shared_ptr<const MtrSnapshot> started;
};

}  // namespace

TEST(MtrHopTable, AveragesBestWorstAndRfc3550Jitter) {
    HopTable table;
    table.EnterProbe(4, 0);
    table.Answer(4, 0, "10.0.0.4", 12.5);
    HopStats h = table.Rows().at(4);
    EXPECT_EQ(h.received, 1);
    EXPECT_EQ(h.host, "10.0.0.4");
    EXPECT_DOUBLE_EQ(h.lastMs, 12.5);
    EXPECT_DOUBLE_EQ(h.bestMs, 12.5);
    EXPECT_DOUBLE_EQ(h.worstMs, 12.5);
    EXPECT_DOUBLE_EQ(h.avgMs, 12.5);
    EXPECT_DOUBLE_EQ(h.jitterMs, 0.0);
    EXPECT_DOUBLE_EQ(h.prevMs, 12.5);

    table.Answer(4, 1, "10.0.0.4", 14.5);
    h = table.Rows().at(4);
    EXPECT_EQ(h.received, 2);
    EXPECT_DOUBLE_EQ(h.avgMs, 13.5);
    EXPECT_DOUBLE_EQ(h.worstMs, 14.5);
    EXPECT_DOUBLE_EQ(h.bestMs, 12.5);
    EXPECT_DOUBLE_EQ(h.jitterMs, 0.125);  // 2.0 x 1/16

    // A third reply of 10.5 ms: jitter 0.125 + (4.0 - 0.125) / 16.
    table.Answer(4, 2, "10.0.0.44", 10.5);
    h = table.Rows().at(4);
    EXPECT_DOUBLE_EQ(h.bestMs, 10.5);
    EXPECT_NEAR(h.avgMs, 12.5, 1e-12);
    EXPECT_DOUBLE_EQ(h.jitterMs, 0.125 + (4.0 - 0.125) * 0.0625);
    EXPECT_EQ(h.host, "10.0.0.44");  // the latest source wins
    ASSERT_EQ(h.responders.size(), 2u);
    EXPECT_EQ(h.MainResponder()->address, "10.0.0.4");

    // Responders are bounded; further addresses still count in the hop's figures.
    for (int i = 0; i < 40; ++i) table.Answer(5, 0, "10.5.0." + std::to_string(i), 1.0);
    EXPECT_EQ(table.Rows().at(5).responders.size(), kMtrMaxResponders);
    EXPECT_EQ(table.Rows().at(5).received, 40);
    EXPECT_EQ(table.Rows().at(5).host, "10.5.0.39");

    table.EndPathAt(9);
    table.EndPathAt(12);
    EXPECT_EQ(table.MaxHops(), 9);
    table.Clear();
    EXPECT_TRUE(table.Rows().empty());
    EXPECT_EQ(table.MaxHops(), kMtrMaxHops);
}

// Round trips from the capture's time stamps: a reply stamped before its probe counts as
// 0.1 ms, a second reply to one probe finds nothing, a reply stamped past the expiry age
// counts its probe as lost; invalid results and unknown numbers change nothing.
TEST(MtrReplyMatching, RoundTripsFromTheCaptureStamps) {
    OpenRun run(kProbeIcmp);
    ASSERT_TRUE(run.started->Running());
    EXPECT_EQ(run.Snap()->status.pendingProbes, static_cast<size_t>(kMtrMaxHops));
    auto snap = run.Deliver(run.ReplyTo(4, "10.0.0.4", 12.5));
    EXPECT_DOUBLE_EQ(snap->hops.at(4).lastMs, 12.5);
    EXPECT_EQ(snap->hops.at(4).host, "10.0.0.4");

    SniffResult early = run.ReplyTo(6, "10.0.0.6", 0.0);
    early.timestamp -= 10;
    snap = run.Deliver(early);
    EXPECT_DOUBLE_EQ(snap->hops.at(6).lastMs, 0.1);
    snap = run.Deliver(run.ReplyTo(6, "10.0.0.6", 5.0));
    EXPECT_EQ(snap->hops.at(6).received, 1);

    // A reply older than the expiry age (a retransmitted SYN-ACK, say) counts its probe as lost.
    snap = run.Deliver(run.ReplyTo(7, "10.0.0.7", kMtrExpiryTicks / double(kMs) + 45.0));
    EXPECT_EQ(snap->hops.at(7).received, 0);
    EXPECT_EQ(snap->hops.at(7).lost, 1);
    EXPECT_TRUE(snap->hops.at(7).history.At(0).Lost());
    EXPECT_EQ(snap->status.pendingProbes, static_cast<size_t>(kMtrMaxHops - 3));

    SniffResult invalid = run.ReplyTo(8, "10.0.0.8", 1.0);
    invalid.valid = false;
    run.Deliver(invalid);
    SniffResult unknown = run.ReplyTo(8, "10.0.0.8", 1.0);
    unknown.origSeq = 999;  // no probe carried this number
    snap = run.Deliver(unknown);
    EXPECT_EQ(run.Received(), 2);
    EXPECT_EQ(snap->status.pendingProbes, static_cast<size_t>(kMtrMaxHops - 3));
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
              "Salto  Host/IP     Perda %  Env  Rec  Perd      Ult      Med       Melh     Pior   Jitter   MOS  DSCP");
    EXPECT_NE(table.find("    1  ???           33.3%    3    0     1   0.0 ms   0.0 ms  9999.0 ms   0.0 ms  0.00 ms     -     -\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("    2  10.200.4.2     0.0%    2    2     0  25.0 ms  25.0 ms    25.0 ms  25.0 ms  0.12 ms  4.40     -\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);

    const std::string json = FormatMtrJson("10.200.4.2", kProbeTcp, hops, 2);
    ASSERT_EQ(json.back(), '\n');
    const auto doc = nlohmann::ordered_json::parse(json);
    std::vector<std::string> keys;
    for (const auto& [k, v] : doc.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"target", "protocol", "hops", "dscp_sent", "fixed_flow", "remarking_hop",
                                              "events"}));
    EXPECT_EQ(doc["target"], "10.200.4.2");
    EXPECT_EQ(doc["protocol"], "tcp");
    ASSERT_EQ(doc["hops"].size(), 2u) << json;  // hop 3 lies above maxHops
    const auto& first = doc["hops"][0];
    keys.clear();
    for (const auto& [k, v] : first.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"ttl", "host", "name", "loss_pct", "sent", "received", "lost", "last_ms",
                                              "avg_ms", "best_ms", "worst_ms", "jitter_ms", "mos", "dscp",
                                              "dscp_varied", "responders", "history"}));
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
    OpenRun run(kProbeUdp);
    EXPECT_EQ(run.Deliver(run.ReplyTo(9, "10.0.0.99", 1.0, 3))->maxHops, 9);  // port unreachable from the target
    EXPECT_EQ(run.Deliver(run.ReplyTo(11, "10.0.0.99", 1.0, 3))->maxHops, 9);
    EXPECT_EQ(run.Deliver(run.ReplyTo(7, "10.0.0.99", 1.0, 0))->maxHops, 7);  // same address, any type
    EXPECT_EQ(run.Deliver(run.ReplyTo(5, "10.0.0.5", 1.0, 11))->maxHops, 7);  // time exceeded from a router
    EXPECT_EQ(run.Deliver(run.ReplyTo(3, "10.0.0.3", 1.0, 3))->maxHops, 3);   // unreachable from a router too
    // UDP numbers are ports: a port below 33434 gives a negative number and is ignored.
    SniffResult low = run.ReplyTo(2, "10.0.0.2", 1.0);
    low.probeDstPort = 33433;
    low.origSeq = 33433;
    EXPECT_EQ(run.Deliver(low)->hops.at(2).received, 0);
    run.core->Clear();
    run.clock->Settle();
    EXPECT_EQ(run.Snap()->maxHops, 30);
    EXPECT_TRUE(run.Snap()->hops.empty());
}

// IPv6 replies as the decoder hands them over: a router's time exceeded and the target's
// port unreachable quoting our UDP probes count; the same error quoting a probe to another
// address, or from another source port, does not.
TEST(MtrReplyMatching, Ipv6RepliesFromTheDecoderMatchTheirProbes) {
    OpenRun run(kProbeUdp, "2001:db8:2::7");
    const ProbeIdentity id = run.net->Identity();
    const Bytes us = V6("2001:db8:1::5"), target = V6("2001:db8:2::7"), router = V6("2001:db8:ff::1");
    auto probe = [&](int32_t seq, const Bytes& dst, uint16_t sport) {
        return Ipv6(us, dst, 17, Udp(sport, ProbePort(id.basePort, seq), Bytes(10, 0)), 1);
    };
    auto feed = [&](const Bytes& from, uint8_t type, uint8_t code, const Bytes& quoted, int64_t stamp) {
        const Bytes frame = Ethernet(kEthIpv6, Ipv6(from, us, 58, Icmpv6(type, code, 0, 0, quoted)));
        PacketLogEntry entry;
        SniffResult reply;
        const FrameHeader header{static_cast<uint32_t>(stamp / 10'000'000),
                                 static_cast<uint32_t>(stamp % 10'000'000 / 10), static_cast<uint32_t>(frame.size())};
        if (DecodeFrame(kLinkEthernet, header, frame, entry, reply).reply) run.Deliver(reply);
    };
    // The fake clock moves in whole milliseconds, so the capture's microsecond stamps are exact.
    const SentProbe one = run.ProbeAt(1), four = run.ProbeAt(4);
    feed(router, 3, 0, probe(one.seq, V6("2001:db8:2::8"), id.udpSourcePort), one.ticks + 10 * kMs);  // another target
    feed(router, 3, 0, probe(one.seq, target, static_cast<uint16_t>(id.udpSourcePort + 1)), one.ticks + 10 * kMs);
    EXPECT_EQ(run.Received(), 0);
    feed(router, 3, 0, probe(one.seq, target, id.udpSourcePort), one.ticks + 25'000);
    feed(target, 1, 4, probe(four.seq, target, id.udpSourcePort), four.ticks + 40'000);
    auto snap = run.Snap();
    EXPECT_EQ(snap->hops.at(1).host, "2001:db8:ff::1");
    EXPECT_NEAR(snap->hops.at(1).lastMs, 2.5, 1e-9);
    EXPECT_EQ(snap->hops.at(4).host, "2001:db8:2::7");
    EXPECT_EQ(snap->maxHops, 4);  // the target's port unreachable ends the path
}

// Replies that look like ours but answer another program's probes change nothing; the genuine
// reply to the same probe number still counts afterwards.
class MtrForeignReplies : public ::testing::TestWithParam<int32_t> {};

TEST_P(MtrForeignReplies, OnlyRepliesToOurOwnProbesCount) {
    const int32_t proto = GetParam();
    OpenRun run(proto);
    std::vector<SniffResult> foreign;
    for (int32_t ttl : {2, 4}) {
        const std::string from = ttl == 2 ? "10.0.0.2" : "10.0.0.99";
        SniffResult r = run.ReplyTo(ttl, from, 0.1);
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
    SniffResult hopEcho = run.ReplyTo(2, "10.0.0.99", 0.1);
    hopEcho.kind = ReplyKind::EchoReply;
    hopEcho.fromIp = hopEcho.probeDst = "10.0.0.2";
    hopEcho.fromAddr = hopEcho.probeDstAddr = *IpAddress::Parse("10.0.0.2");
    foreign.push_back(hopEcho);
    // A TCP segment from the target's port 80 to a port that is not a probe port.
    SniffResult lowPort = run.ReplyTo(4, "10.0.0.99", 0.1);
    lowPort.kind = ReplyKind::TcpSegment;
    lowPort.probeSrcPort = 33000;
    lowPort.probeDstPort = kProbeTcpPort;
    foreign.push_back(lowPort);

    for (const auto& r : foreign) run.Deliver(r);
    EXPECT_EQ(run.Received(), 0);
    EXPECT_EQ(run.Snap()->status.pendingProbes, static_cast<size_t>(kMtrMaxHops));
    EXPECT_EQ(run.Snap()->maxHops, 30);

    run.Deliver(run.ReplyTo(2, "10.0.0.2", 2.0));
    auto snap = run.Deliver(run.ReplyTo(4, "10.0.0.99", 3.0));
    EXPECT_EQ(snap->hops.at(2).received, 1);
    EXPECT_EQ(snap->hops.at(2).host, "10.0.0.2");
    EXPECT_DOUBLE_EQ(snap->hops.at(2).lastMs, 2.0);
    EXPECT_EQ(snap->hops.at(4).received, 1);
    EXPECT_EQ(snap->maxHops, 4);
    EXPECT_EQ(snap->status.pendingProbes, static_cast<size_t>(kMtrMaxHops - 2));
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, MtrForeignReplies, ::testing::Values(kProbeUdp, kProbeIcmp, kProbeTcp));

TEST(MtrReplyMatching, ReplyToAProbeSentBeforeClearIsIgnored) {
    OpenRun run(kProbeIcmp);
    const SniffResult late = run.ReplyTo(3, "10.0.0.3", 20.0);
    run.net->Packet(PacketLogEntry{});
    run.core->Clear();
    run.clock->Settle();
    auto snap = run.Snap();
    EXPECT_TRUE(snap->hops.empty());
    EXPECT_EQ(snap->log->size(), 1u);  // Clear keeps the packet log
    EXPECT_EQ(snap->status.pendingProbes, 0u);
    EXPECT_TRUE(run.Deliver(late)->hops.empty());
}

TEST(MtrPacketLog, KeepsTheNewestThousandOldestFirst) {
    OpenRun run(kProbeUdp);
    for (int i = 0; i < 1001; ++i) {
        PacketLogEntry e;
        e.wireLength = static_cast<uint32_t>(i);
        run.net->Packet(e);
    }
    run.clock->Settle();
    auto log = run.Snap()->log;
    ASSERT_EQ(log->size(), 1000u);
    EXPECT_EQ(log->front().wireLength, 1u);
    EXPECT_EQ(log->back().wireLength, 1000u);
    // A snapshot taken earlier keeps what it had: nothing in it changes afterwards.
    PacketLogEntry more;
    more.wireLength = 5000;
    run.net->Packet(more);
    run.clock->Settle();
    EXPECT_EQ(log->back().wireLength, 1000u);
    EXPECT_EQ(run.Snap()->log->back().wireLength, 5000u);
}

TEST(MtrRunControl, PcapNameAndSequenceSpace) {
    EXPECT_EQ(MtrPcapFileName("07122026_143005", kProbeIcmp), "07122026_143005_icmp.pcap");
    EXPECT_EQ(MtrPcapFileName("07122026_143005", kProbeUdp), "07122026_143005_udp.pcap");
    EXPECT_EQ(MtrPcapFileName("07122026_143005", kProbeTcp), "07122026_143005_tcp.pcap");
    EXPECT_EQ(MtrPcapFileName("x", 7), "x_icmp.pcap");
    EXPECT_EQ(kProbeBasePort + MtrSequenceSpace(kProbeUdp) - 1, 65535);
    EXPECT_EQ(MtrSequenceSpace(kProbeIcmp), 65536);
}

// The counter wraps inside each protocol's space, and every number it hands out maps back to
// its probe through the port or echo sequence that carries it.
class MtrSequenceWrap : public ::testing::TestWithParam<int32_t> {};

TEST_P(MtrSequenceWrap, CounterWrapsAndEveryProbeStaysMatchable) {
    const int32_t proto = GetParam();
    const int32_t space = MtrSequenceSpace(proto);
    ProbeScheduler scheduler(space - 3);
    const ProbeIdentity id{proto, "10.0.0.99", 40404, 0x1234, kProbeBasePort, *IpAddress::Parse("10.0.0.99")};
    std::vector<int32_t> seqs;
    for (int32_t i = 0; i < 8; ++i) seqs.push_back(scheduler.Take(proto, i + 1, 1000 + i, 0));
    EXPECT_EQ(seqs[0], space - 3);
    EXPECT_EQ(seqs[2], space - 1);
    EXPECT_EQ(seqs[3], 0);  // wrapped instead of leaving the carrier's range
    for (size_t i = 0; i < seqs.size(); ++i) {
        const SniffResult reply = ReplyFor(id, seqs[i], "10.0.0.5", 2000);
        if (proto != kProbeIcmp) {
            EXPECT_GE(reply.origSeq, kProbeBasePort);
            EXPECT_LE(reply.origSeq, 65535);
        }
        const int32_t number = MatchProbeReply(reply, id);
        ASSERT_EQ(number, seqs[i]);
        const std::optional<PendingProbe> p = scheduler.Match(number);
        ASSERT_TRUE(p.has_value()) << i;
        EXPECT_EQ(p->ttl, static_cast<int32_t>(i) + 1);
    }
    EXPECT_EQ(scheduler.PendingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, MtrSequenceWrap, ::testing::Values(kProbeUdp, kProbeIcmp, kProbeTcp));

TEST(MtrSequenceWrapFold, OutOfRangeCounterIsFoldedIntoTheSpaceAndRetimedAndExpired) {
    ProbeScheduler scheduler(65000);  // valid for ICMP, beyond the UDP space of 32102
    EXPECT_EQ(scheduler.Take(kProbeUdp, 1, 100, 0), 65000 % MtrSequenceSpace(kProbeUdp));
    const int32_t second = scheduler.Take(kProbeUdp, 2, 200, 0);
    scheduler.Retime(second, 200, 250);  // left later than taken
    scheduler.Retime(second, 999, 400);  // not this probe's taking: ignored
    EXPECT_EQ(scheduler.OldestSend(), 100);
    const std::vector<PendingProbe> lost = scheduler.Expire(300, 150);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].ttl, 1);
    EXPECT_EQ(scheduler.OldestSend(), 250);
    scheduler.Forget();
    EXPECT_EQ(scheduler.PendingCount(), 0u);
    EXPECT_FALSE(scheduler.Match(second).has_value());
    EXPECT_EQ(scheduler.NextSeq(), second + 1);  // Forget keeps the counter going
}

namespace {
// A fake path: hop k answers from 10.0.0.k after 2 ms, the target sits at `targetTtl`; TTLs
// in `silent` never answer. Replies are handed over from the send, as a fast network would.
void PlayPath(FakeMtr& mtr, int32_t targetTtl, std::set<int32_t> silent = {}) {
    mtr.net->onSend = [&mtr, targetTtl, silent](int32_t ttl, int32_t seq, int32_t, int64_t at) {
        if (silent.count(ttl)) return;
        const std::string from = ttl >= targetTtl ? mtr.net->target : "10.0.0." + std::to_string(ttl);
        mtr.net->Reply(ReplyFor(mtr.net->Identity(), seq, from, at + 2 * kMs));
    };
}
}  // namespace

TEST(MtrLoop, UnansweredProbesExpireAsLostAndTheLimitShrinks) {
    FakeMtr mtr;
    PlayPath(mtr, 3, {2});
    ASSERT_TRUE(mtr.Start(kProbeUdp, 2, 1, 1010)->Running());
    // A second start while the run is under way is refused by the engine.
    EXPECT_EQ(mtr.Start(kProbeUdp)->status.startError, StartError::AlreadyRunning);
    EXPECT_TRUE(mtr.Snap()->Running());
    for (int i = 0; i < 1000 && !mtr.Snap()->status.probingFinished; ++i) ASSERT_TRUE(mtr.clock->AdvanceMs(10));
    auto snap = mtr.Snap();
    ASSERT_TRUE(snap->status.probingFinished);
    EXPECT_EQ(snap->status.cycles, 2);
    EXPECT_TRUE(snap->Running());  // a finished run waits for Stop
    snap = mtr.Stop();
    EXPECT_EQ(snap->status.state, MtrRunState::Idle);
    const auto& hops = snap->hops;
    ASSERT_EQ(hops.count(2), 1u);
    EXPECT_EQ(hops.at(2).host, "???");
    EXPECT_EQ(hops.at(2).sent, 2);
    EXPECT_EQ(hops.at(2).lost, 2);  // the final settling counted the last cycle too
    EXPECT_DOUBLE_EQ(hops.at(2).bestMs, 9999.0);
    EXPECT_EQ(hops.at(1).received, 2);
    EXPECT_DOUBLE_EQ(hops.at(1).lastMs, 2.0);
    EXPECT_EQ(snap->maxHops, 3);
    // The first cycle reached TTL 3 before the target answered; later cycles stop there.
    EXPECT_EQ(hops.rbegin()->first, 3);
    EXPECT_EQ(snap->status.pendingProbes, 0u);
    EXPECT_FALSE(mtr.net->IsOpen());
}

TEST(MtrLoop, ClearDuringARunRebuildsRowsFromTtlOne) {
    FakeMtr mtr;
    PlayPath(mtr, 5);
    ASSERT_TRUE(mtr.Start(kProbeIcmp, 0, 2, 150)->Running());
    ASSERT_TRUE(mtr.clock->RunMs(20, 1));
    auto snap = mtr.Snap();
    ASSERT_EQ(snap->hops.size(), 5u);
    ASSERT_EQ(snap->maxHops, 5);
    mtr.core->Clear();
    mtr.clock->Settle();
    EXPECT_EQ(mtr.Snap()->maxHops, 30);
    EXPECT_TRUE(mtr.Snap()->hops.empty());
    // Rows come back from TTL 1 within one cycle, and the target lowers the limit again.
    ASSERT_TRUE(mtr.clock->RunMs(200, 1));
    snap = mtr.Snap();
    EXPECT_TRUE(snap->hops.count(1) && snap->hops.count(5));
    EXPECT_EQ(snap->maxHops, 5);
    snap = mtr.Stop();
    EXPECT_FALSE(snap->Running());
    for (const auto& [ttl, h] : snap->hops) {
        EXPECT_EQ(h.lost, 0) << ttl;
        EXPECT_EQ(h.received, h.sent) << ttl;
        if (ttl < 5) {
            EXPECT_EQ(h.host, "10.0.0." + std::to_string(ttl));
        }
    }
}

// A run that fails ends by itself: the engine says so and why, and keeps saying it after
// Stop, until the next start. The views make the sentence from the cause and its detail.
TEST(MtrHealth, AFailedProbingLoopLeavesAStoppedStateWithItsCause) {
    FakeMtr mtr;
    std::atomic<int> sends{0};
    mtr.net->onSend = [&](int32_t, int32_t, int32_t, int64_t) {
        if (++sends == 3) throw std::runtime_error("sem memoria");
    };
    ASSERT_TRUE(mtr.Start(kProbeUdp, 0, 1, 10)->Running());
    ASSERT_TRUE(mtr.clock->RunMs(10, 1));
    auto snap = mtr.Snap();
    ASSERT_EQ(snap->status.state, MtrRunState::Stopped);
    EXPECT_EQ(snap->status.stopCause, MtrStopCause::ProbingFailed);
    EXPECT_EQ(MtrStopCauseText(snap->status.stopCause, snap->status.stopDetail), "O envio de sondas parou: sem memoria");
    EXPECT_FALSE(mtr.net->IsOpen()) << "a failed run leaves nothing open";
    EXPECT_EQ(mtr.Stop()->status.state, MtrRunState::Stopped);
    EXPECT_EQ(sends.load(), 3);

    mtr.net->onSend = nullptr;
    snap = mtr.Start(kProbeUdp, 0, 1, 10);
    EXPECT_EQ(snap->status.state, MtrRunState::Running);
    EXPECT_EQ(snap->status.stopCause, MtrStopCause::None);
    EXPECT_EQ(mtr.Stop()->status.state, MtrRunState::Idle);
}

TEST(MtrHealth, ACaptureThatEndsStopsTheRunWithTheLibrarysWords) {
    for (const std::string& why : {std::string("The interface disappeared"), std::string()}) {
        FakeMtr mtr;
        ASSERT_TRUE(mtr.Start(kProbeUdp)->Running());
        mtr.net->EndCapture(why);
        mtr.clock->Settle();
        const auto snap = mtr.Snap();
        ASSERT_EQ(snap->status.state, MtrRunState::Stopped);
        EXPECT_EQ(snap->status.stopCause, MtrStopCause::CaptureEnded);
        EXPECT_EQ(MtrStopCauseText(snap->status.stopCause, snap->status.stopDetail),
                  why.empty() ? "A captura parou: a interface deixou de entregar pacotes." : "A captura parou: " + why);
        EXPECT_FALSE(mtr.net->IsOpen());
    }
    EXPECT_EQ(MtrStopCauseText(MtrStopCause::ProbingFailed, ""), "O envio de sondas parou: erro desconhecido.");
    EXPECT_EQ(MtrStopCauseText(MtrStopCause::None, "x"), "");
}

// "LIMPAR" during a run: the probes then still out are dropped and never counted anywhere,
// and the numbers of the next probes are not theirs.
TEST(MtrLoop, ClearDropsThePendingProbesAndKeepsTheirNumbersRetired) {
    FakeMtr mtr;
    ASSERT_TRUE(mtr.Start(kProbeIcmp, 0, 1, 5000)->Running());
    ASSERT_TRUE(mtr.clock->RunMs(35, 1));
    ASSERT_EQ(mtr.Snap()->status.pendingProbes, 30u);
    const std::vector<SentProbe> before = mtr.net->Sent();
    mtr.core->Clear();
    mtr.clock->Settle();
    EXPECT_EQ(mtr.Snap()->status.pendingProbes, 0u);
    ASSERT_TRUE(mtr.clock->RunMs(5100, 10));  // the next cycle
    // A late reply to a probe from before the Clear finds nothing.
    mtr.net->Reply(ReplyFor(mtr.net->Identity(), before[2].seq, "10.0.0.3", mtr.clock->NowTicks()));
    mtr.clock->Settle();
    for (const auto& [ttl, h] : mtr.Snap()->hops) EXPECT_EQ(h.received, 0) << ttl;
    const std::vector<SentProbe> after = mtr.net->Sent();
    ASSERT_GT(after.size(), before.size());
    for (size_t i = before.size(); i < after.size(); ++i)
        EXPECT_GE(after[i].seq, 30) << "number handed out again after Clear";
}

// Starting runs on the engine's thread: the caller gets control back while the name server
// has not answered, sees "resolving", cannot start twice, and then learns the outcome.
TEST(MtrAsyncStart, ResolvesTheHostOffTheCallersThread) {
    FakeMtr mtr;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    mtr.net->openError = StartError::HostNotResolved;
    mtr.net->onOpen = [released](const ProbeTransportOpen&) { released.wait(); };
    MtrStartRequest request;
    request.host = "nome.que.demora";
    const uint64_t ticket = mtr.core->Start(request);
    ASSERT_NE(ticket, 0u);
    auto snap = mtr.core->WaitUntil([](const MtrSnapshot& s) { return s.status.state == MtrRunState::Resolving; }, 10s);
    EXPECT_EQ(snap->status.state, MtrRunState::Resolving);
    EXPECT_EQ(snap->status.startHost, "nome.que.demora");
    request.host = "outro";
    EXPECT_EQ(mtr.core->Start(request), 0u);  // refused: the first has not been dealt with
    // Requests made meanwhile return at once; they are carried out after the start.
    mtr.core->Stop();
    mtr.core->Clear();
    release.set_value();
    snap = mtr.core->WaitUntil([&](const MtrSnapshot& s) { return s.status.startsHandled >= ticket; }, 10s);
    EXPECT_EQ(snap->status.state, MtrRunState::Idle);
    EXPECT_EQ(snap->status.startError, StartError::HostNotResolved);
    EXPECT_EQ(snap->status.startHost, "nome.que.demora");
}

// "PARAR" while a probe is inside a slow send (a neighbour lookup) returns at once; the run
// stops when the send comes back. Destroying the engine while its start hangs (a silent name
// server) does not wait for it either.
TEST(MtrAsyncStart, NeitherASlowSendNorAHungStartHoldsTheCaller) {
    {
        FakeMtr mtr;
        std::promise<void> inSend, release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> first{true};
        mtr.net->onSend = [&, released](int32_t, int32_t, int32_t, int64_t) {
            if (!first.exchange(false)) return;
            inSend.set_value();
            released.wait();
        };
        MtrStartRequest request;
        request.host = "10.0.0.99";
        mtr.core->Start(request);
        inSend.get_future().wait();
        mtr.core->Stop();  // returns while the engine is inside the send
        EXPECT_TRUE(mtr.Snap()->status.state != MtrRunState::Idle);
        release.set_value();
        const auto snap =
            mtr.core->WaitUntil([](const MtrSnapshot& s) { return s.status.state == MtrRunState::Idle; }, 10s);
        EXPECT_EQ(snap->status.state, MtrRunState::Idle);
        EXPECT_FALSE(mtr.net->IsOpen());
    }
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto inOpen = std::make_shared<std::promise<void>>();
    std::atomic<bool> destroyed{false};
    {
        MtrEngineOptions options;
        options.shutdownWait = 20ms;
        FakeMtr mtr(options);
        mtr.net->onOpen = [released, inOpen](const ProbeTransportOpen&) {
            inOpen->set_value();
            released.wait();
        };
        MtrStartRequest request;
        request.host = "nome.que.nao.responde";
        mtr.core->Start(request);
        inOpen->get_future().wait();
    }
    destroyed = true;  // reached while the start still hangs
    release.set_value();
    EXPECT_TRUE(destroyed.load());
}

// A busy capture hands a reply over long after it arrived (its block is read at the read
// time-out, the machine is loaded). A probe answered in time is not lost because its answer
// was late in reaching the engine: the expiry waits for it, and the answer's capture time
// stamp decides. A reply stamped past the expiry age still counts as lost.
TEST(MtrLoop, AnswersDeliveredLateByTheCaptureStillCount) {
    for (bool stampedInTime : {true, false}) {
        SCOPED_TRACE(stampedInTime ? "stamped 0.2 ms after the probe" : "stamped 1.2 s after the probe");
        FakeMtr mtr;
        mtr.net->grace = kMtrCaptureGraceTicks;
        ASSERT_TRUE(mtr.Start(kProbeUdp, 1, 1, 50)->Running());
        // Handed over 1.5 s after the probe left: past the expiry age, inside the grace.
        ASSERT_TRUE(mtr.clock->RunMs(1500, 10));
        EXPECT_FALSE(mtr.Snap()->status.probingFinished) << "the run ended with an answer still on its way";
        const SentProbe first = mtr.net->Sent().front();
        ASSERT_EQ(first.ttl, 1);
        const int64_t stamp = first.ticks + (stampedInTime ? 2'000 : 12'000'000);
        mtr.net->Reply(ReplyFor(mtr.net->Identity(), first.seq, "10.0.0.1", stamp));
        for (int i = 0; i < 500 && !mtr.Snap()->status.probingFinished; ++i) ASSERT_TRUE(mtr.clock->AdvanceMs(10));
        ASSERT_TRUE(mtr.Snap()->status.probingFinished);
        const HopStats hop = mtr.Stop()->hops.at(1);
        EXPECT_EQ(hop.sent, 1);
        EXPECT_EQ(hop.received, stampedInTime ? 1 : 0);
        EXPECT_EQ(hop.lost, stampedInTime ? 0 : 1);
        EXPECT_EQ(mtr.Snap()->status.pendingProbes, 0u);
    }
}
