#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "lib/TestSupport.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"

namespace {

SniffResult Reply(const std::string& from, int32_t origSeq, int64_t ts, int32_t type = 11) {
    SniffResult r;
    r.valid = true;
    r.fromIp = from;
    r.origSeq = origSeq;
    r.timestamp = ts;
    r.type = type;
    return r;
}

using testsupport::WaitFor;

}  // namespace

TEST(MtrHopStats, AveragesBestWorstAndRfc3550Jitter) {
    MtrCore core;
    core.PrepareForTesting("10.0.0.9", kProbeIcmp);
    const int64_t t0 = 1'000'000'000;
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
    SniffResult invalid = Reply("10.0.0.6", 5, t0);
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
              "Salto  Host/IP     Perda %  Env  Rec  Perd      Ult      Med       Melh     Pior   Jitter");
    EXPECT_NE(table.find("    1  ???           33.3%    3    0     1   0.0 ms   0.0 ms  9999.0 ms   0.0 ms  0.00 ms\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("    2  10.200.4.2     0.0%    2    2     0  25.0 ms  25.0 ms    25.0 ms  25.0 ms  0.12 ms\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);

    std::string json = FormatMtrJson("10.200.4.2", kProbeTcp, hops, 2);
    EXPECT_EQ(json.rfind("{\"target\": \"10.200.4.2\", \"protocol\": \"tcp\", \"hops\": [{\"ttl\": 1, \"host\": \"???\", "
                         "\"loss_pct\": 33.3, \"sent\": 3, \"received\": 0, \"lost\": 1, \"last_ms\": 0.000, \"avg_ms\": "
                         "0.000, \"best_ms\": 9999.000, \"worst_ms\": 0.000, \"jitter_ms\": 0.000}, {\"ttl\": 2,",
                         0),
              0u)
        << json;
    EXPECT_EQ(json.find("\"ttl\": 3"), std::string::npos);
    hops[1].host = "a\"b\\c\n";
    EXPECT_NE(FormatMtrJson("x", kProbeUdp, hops, 2).find("\"a\\\"b\\\\c\\u000a\""), std::string::npos);
}

TEST(MtrReplyMatching, TargetDetectionOnlyLowersTheLimit) {
    MtrCore core;
    core.PrepareForTesting("10.0.0.99", kProbeUdp);
    const int64_t t0 = 5'000'000;
    auto answer = [&](int32_t seq, int32_t ttl, const std::string& from, int32_t type) {
        core.AddPendingForTesting(seq, ttl, t0);
        core.OnSniffResult(Reply(from, kProbeBasePort + seq, t0 + 10'000, type));
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
    core.OnSniffResult(Reply("10.0.0.2", 33433, t0 + 10'000));
    EXPECT_EQ(core.GetHops().count(2), 0u);
    core.Clear();
    EXPECT_EQ(core.MaxHops(), 30);
}

TEST(MtrReplyMatching, ReplyAfterClearRecreatesTheRow) {
    MtrCore core;
    core.PrepareForTesting("10.0.0.99", kProbeIcmp);
    core.AddPendingForTesting(7, 3, 1'000'000);
    core.OnPacketLog(PacketLogEntry{});
    core.Clear();
    EXPECT_TRUE(core.GetHops().empty());
    EXPECT_EQ(core.GetLog().size(), 1u);  // Clear keeps the packet log
    core.OnSniffResult(Reply("10.0.0.3", 7, 1'200'000));
    auto hops = core.GetHops();
    ASSERT_EQ(hops.count(3), 1u);
    EXPECT_EQ(hops[3].host, "10.0.0.3");
    EXPECT_EQ(hops[3].received, 1);
    EXPECT_EQ(hops[3].sent, 0);
    EXPECT_DOUBLE_EQ(hops[3].avgMs, 20.0);
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
        core.OnSniffResult(Reply(from, onWire, MtrNowTicks() + 20'000, atTarget && proto == kProbeUdp ? 3 : 11));
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
