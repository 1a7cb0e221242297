// What a voice trace adds to the MTR engine: the event log's rules (loss runs, latency over
// the median, responder and DSCP changes, all judged in send order), the DSCP each hop saw,
// and how the tables, JSON, CSV, report and --events lines carry both.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "lib/MtrFakes.h"
#include "lib/ProbeReplies.h"
#include "logs/LocalTime.h"
#include "mtr/HopEvents.h"
#include "mtr/MtrReport.h"

using mtrtest::FakeMtr;
using probetest::ReplyFor;

namespace {

constexpr int64_t kSec = 10'000'000;  // ticks
constexpr int64_t kT0 = mtrtest::FakeMtrClock::kStart;

// Probes of one hop, one a second from kT0: sent, then settled as the test says.
struct HopFeed {
    HopEvents events;
    int32_t ttl = 3;
    uint64_t next = 0;
    explicit HopFeed(HopEventRules rules = {}) : events(rules) {}
    int64_t TicksOf(uint64_t n) const { return kT0 + static_cast<int64_t>(n) * kSec; }
    uint64_t Send() {
        events.Sent(ttl, next, TicksOf(next));
        return next++;
    }
    void Answer(double rtt, const std::string& from = "10.0.0.3", int32_t dscp = -1) {
        events.Answered(ttl, Send(), rtt, from, dscp);
    }
    void Lose() { events.Lost(ttl, Send()); }
    std::vector<MtrEvent> All() const { return {events.Events().begin(), events.Events().end()}; }
};

}  // namespace

TEST(MtrEvents, ALossRunStartsAndEndsAtItsProbesSendTimesWhateverOrderTheyAreSettledIn) {
    HopFeed f;
    for (int i = 0; i < 5; ++i) f.Answer(10.0);
    // Probes 5-7 go unanswered, probe 8 is answered at once: its answer is known a second
    // before the first loss is (at expiry). The run is still judged in send order.
    const uint64_t a = f.Send(), b = f.Send(), c = f.Send(), d = f.Send();
    f.events.Answered(f.ttl, d, 10.0, "10.0.0.3", -1);
    EXPECT_TRUE(f.All().empty()) << "nothing known of probes 5-7 yet";
    f.events.Lost(f.ttl, b);
    f.events.Lost(f.ttl, a);
    EXPECT_EQ(f.All().size(), 1u) << "5 and 6 are a run of two";
    f.events.Lost(f.ttl, c);
    const std::vector<MtrEvent> ev = f.All();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, MtrEventKind::LossStart);
    EXPECT_EQ(ev[0].ticks, f.TicksOf(a));
    EXPECT_EQ(ev[0].hop, 3);
    EXPECT_EQ(ev[0].detail, "10.0.0.3");
    EXPECT_EQ(ev[1].kind, MtrEventKind::LossEnd);
    EXPECT_EQ(ev[1].ticks, f.TicksOf(d));
    EXPECT_EQ(ev[1].detail, "3 sondas perdidas");

    // One lost probe alone is no loss run.
    f.Lose();
    f.Answer(10.0);
    EXPECT_EQ(f.All().size(), 2u);

    // A probe whose outcome never comes (its number handed out again) holds the judging up
    // only until it lies far behind; then what followed it is judged.
    HopFeed stuck;
    stuck.Answer(10.0);
    stuck.Send();
    for (int i = 0; i < 700; ++i) stuck.Answer(10.0);
    stuck.Lose();
    stuck.Lose();
    ASSERT_EQ(stuck.All().size(), 1u);
    EXPECT_EQ(stuck.All()[0].kind, MtrEventKind::LossStart);

    // A hop that never answered is silent, not losing.
    HopFeed silent;
    for (int i = 0; i < 10; ++i) silent.Lose();
    EXPECT_TRUE(silent.All().empty());
}

TEST(MtrEvents, LatencyMustDoubleTheMedianAndRiseTwentyMsForTwoProbes) {
    HopFeed f;
    for (int i = 0; i < 6; ++i) f.Answer(10.0);
    f.Answer(29.0);  // 2.9 x the median but only +19 ms
    f.Answer(29.0);
    f.Answer(45.0);  // one probe alone is no rise
    f.Answer(10.0);
    EXPECT_TRUE(f.All().empty());
    const uint64_t first = f.next;
    f.Answer(35.0);
    f.Answer(60.0);
    f.Answer(40.0);  // still high: nothing new
    const uint64_t back = f.next;
    f.Answer(11.0);
    f.Answer(45.0);  // the return needs two normal probes in a row
    f.Answer(12.0);
    f.Answer(10.5);
    const std::vector<MtrEvent> ev = f.All();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, MtrEventKind::LatencyUp);
    EXPECT_EQ(ev[0].ticks, f.TicksOf(first));
    EXPECT_EQ(ev[0].detail, "35.0 ms (mediana 10.0 ms)");
    EXPECT_EQ(ev[1].kind, MtrEventKind::LatencyDown);
    EXPECT_EQ(ev[1].ticks, f.TicksOf(back + 2)) << "the first of the two normal probes";
    EXPECT_EQ(ev[1].detail, "12.0 ms (mediana 10.0 ms)") << "the median of before the rise";

    // A fast hop: 15 x its 1 ms median is still under the +20 ms floor.
    HopFeed fast;
    for (int i = 0; i < 6; ++i) fast.Answer(1.0);
    for (int i = 0; i < 4; ++i) fast.Answer(15.0);
    EXPECT_TRUE(fast.All().empty());
    // Before five round trips there is no median to judge on.
    HopFeed young;
    young.Answer(1.0);
    for (int i = 0; i < 3; ++i) young.Answer(100.0);
    EXPECT_TRUE(young.All().empty());
}

TEST(MtrEvents, ResponderAndDscpChangesNeedTwoProbesInARow) {
    HopFeed f;
    f.Answer(5.0, "10.0.0.3", 46);
    f.Answer(5.0, "10.0.0.3", 46);
    f.Answer(5.0, "10.0.9.3", 0);  // one probe down the other path
    f.Answer(5.0, "10.0.0.3", 46);
    f.Answer(5.0, "10.0.0.3", -1);  // no quote: says nothing about the DSCP
    EXPECT_TRUE(f.All().empty());
    const uint64_t change = f.next;
    f.Answer(5.0, "10.0.9.3", 0);
    f.Answer(5.0, "10.0.9.3", -1);
    f.Answer(5.0, "10.0.9.3", 0);
    const std::vector<MtrEvent> ev = f.All();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, MtrEventKind::Responder);
    EXPECT_EQ(ev[0].ticks, f.TicksOf(change));
    EXPECT_EQ(ev[0].detail, "10.0.0.3 -> 10.0.9.3");
    EXPECT_EQ(ev[1].kind, MtrEventKind::Dscp);
    EXPECT_EQ(ev[1].ticks, f.TicksOf(change));
    EXPECT_EQ(ev[1].detail, "46 -> 0");

    // The log keeps the newest kMtrEventLimit.
    HopFeed flapping(HopEventRules{2, 2.0, 20.0, 20, 5, 1});
    for (size_t i = 0; i < kMtrEventLimit + 10; ++i) flapping.Answer(5.0, i % 2 ? "10.0.0.1" : "10.0.0.2");
    EXPECT_EQ(flapping.events.Events().size(), kMtrEventLimit);
    EXPECT_EQ(flapping.events.Events().back().ticks, flapping.TicksOf(flapping.next - 1));
}

// The engine on the fake network: hop 1 sees the probes' EF, the target (hop 2) gets them
// re-marked to 0, and hop 2 stops answering for a few seconds mid-run.
TEST(MtrVoiceEngine, MarkingReachesTheTransportEachHopsDscpAndALossBurstInTheEventLog) {
    FakeMtr mtr;
    mtr.net->target = "10.0.0.2";
    ProbeTransportOpen opened;
    mtr.net->onOpen = [&](const ProbeTransportOpen& what) { opened = what; };
    std::atomic<int64_t> burstFrom{0}, burstTo{0};
    mtr.net->onSend = [&](int32_t ttl, int32_t seq, int32_t, int64_t at) {
        if (ttl > 2) return;
        if (ttl == 2 && at >= burstFrom.load() && at < burstTo.load()) return;
        SniffResult r = ReplyFor(mtr.net->Identity(), seq, ttl == 1 ? "10.0.0.1" : "10.0.0.2", at + 20'000);
        r.probeDscp = ttl == 1 ? 46 : 0;
        mtr.net->Reply(r);
    };
    MtrStartRequest request;
    request.host = mtr.net->target;
    request.protocol = kProbeUdp;
    request.probeSpacingMs = 50;
    request.cyclePauseMs = 1000;
    request.dscp = 46;
    request.fixedFlow = true;
    const uint64_t ticket = mtr.core->Start(request);
    ASSERT_NE(ticket, 0u);
    mtr.clock->Settle();
    mtr.core->WaitUntil([&](const MtrSnapshot& s) { return s.status.startsHandled >= ticket; }, std::chrono::seconds(10));
    EXPECT_EQ(opened.dscp, 46);
    EXPECT_TRUE(opened.fixedFlow);

    ASSERT_TRUE(mtr.clock->RunMs(8000, 10));
    const int64_t from = mtr.clock->NowTicks();
    burstFrom = from;
    burstTo = from + 4 * kSec;
    ASSERT_TRUE(mtr.clock->RunMs(12000, 10));
    const auto snap = mtr.Snap();
    EXPECT_EQ(snap->status.run.dscp, 46);
    EXPECT_TRUE(snap->status.run.fixedFlow);
    ASSERT_EQ(snap->maxHops, 2);
    EXPECT_EQ(HopDscpText(snap->hops.at(1)), "46");
    EXPECT_EQ(HopDscpText(snap->hops.at(2)), "0");
    EXPECT_EQ(FirstRemarkingHop(snap->hops, snap->maxHops, 46), 2);

    const std::vector<MtrEvent>& ev = *snap->events;
    ASSERT_EQ(ev.size(), 2u) << FormatMtrEvents(ev);
    EXPECT_EQ(ev[0].kind, MtrEventKind::LossStart);
    EXPECT_EQ(ev[0].hop, 2);
    // The first probe sent after the burst began (one cycle is 2 x 50 ms + 1 s), and the first
    // one after it ended.
    EXPECT_GE(ev[0].ticks, from);
    EXPECT_LT(ev[0].ticks, from + 12 * kSec / 10);
    EXPECT_EQ(ev[1].kind, MtrEventKind::LossEnd);
    EXPECT_GE(ev[1].ticks, from + 4 * kSec);
    EXPECT_LT(ev[1].ticks, from + 4 * kSec + 12 * kSec / 10);

    // Clear forgets the rows and the log with them.
    mtr.core->Clear();
    mtr.clock->Settle();
    EXPECT_TRUE(mtr.Snap()->events->empty());
    mtr.Stop();
}

TEST(MtrVoiceFormats, DscpColumnJsonCsvReportAndEventLines) {
    std::map<int32_t, HopStats> hops;
    HopStats one;
    one.host = "10.0.0.1";
    one.sent = one.received = 4;
    one.dscpSeen[46] = 4;
    HopStats two = one;
    two.host = "10.0.0.2";
    two.dscpSeen = {};
    two.dscpSeen[0] = 3;
    two.dscpSeen[46] = 1;
    HopStats three;  // answered by echo replies only: no quote
    three.host = "10.0.0.3";
    three.sent = three.received = 4;
    hops[1] = one;
    hops[2] = two;
    hops[3] = three;

    EXPECT_EQ(HopRowTexts(1, one)[kMtrDscpColumn], "46");
    EXPECT_EQ(HopRowTexts(2, two)[kMtrDscpColumn], "0+");
    EXPECT_EQ(HopRowTexts(3, three)[kMtrDscpColumn], "-");
    EXPECT_EQ(std::string(kMtrTableHeaders[kMtrDscpColumn]), "DSCP");
    EXPECT_EQ(FirstRemarkingHop(hops, 3, 46), 2);
    EXPECT_EQ(FirstRemarkingHop(hops, 1, 46), 0) << "hops past the end of the path do not count";
    EXPECT_EQ(FirstRemarkingHop(hops, 3, 0), 1);

    const int64_t at = 1'700'000'000LL * kSec;
    const std::string clock = LocalTimeText(static_cast<std::time_t>(1'700'000'000), "%H:%M:%S");
    const std::vector<MtrEvent> events = {{at, 2, MtrEventKind::LossStart, "10.0.0.2"},
                                          {at + 3 * kSec, 2, MtrEventKind::Dscp, "46 -> 0"}};
    EXPECT_EQ(MtrEventLine(events[0]), "event;" + clock + ";2;loss_start;10.0.0.2");
    const std::string lines = FormatMtrEvents(events);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
    EXPECT_NE(lines.find(";2;dscp;46 -> 0\n"), std::string::npos);
    const char* kinds[] = {"loss_start", "loss_end", "latency_up", "latency_down", "responder", "dscp"};
    for (int k = 0; k < 6; ++k) EXPECT_STREQ(MtrEventKindName(static_cast<MtrEventKind>(k)), kinds[k]);

    const auto doc = nlohmann::json::parse(FormatMtrJson("10.0.0.3", kProbeUdp, hops, 3, 46, true, events));
    EXPECT_EQ(doc["hops"][0]["dscp"], 46);
    EXPECT_EQ(doc["hops"][1]["dscp"], 0);
    EXPECT_EQ(doc["hops"][1]["dscp_varied"], true);
    EXPECT_TRUE(doc["hops"][2]["dscp"].is_null());
    EXPECT_EQ(doc["dscp_sent"], 46);
    EXPECT_EQ(doc["fixed_flow"], true);
    EXPECT_EQ(doc["remarking_hop"], 2);
    ASSERT_EQ(doc["events"].size(), 2u);
    EXPECT_EQ(doc["events"][1],
              (nlohmann::json{{"time", LocalTimeText(static_cast<std::time_t>(1'700'000'003), "%H:%M:%S")},
                              {"ticks", at + 3 * kSec},
                              {"hop", 2},
                              {"kind", "dscp"},
                              {"detail", "46 -> 0"}}));

    const std::string csv = FormatMtrCsv(hops, 3);
    EXPECT_NE(csv.find(";MOS;DSCP;Respondentes"), std::string::npos);
    EXPECT_NE(csv.find(";46;"), std::string::npos);
    EXPECT_NE(csv.find(";0+;"), std::string::npos);

    MtrRunInfo run{"sbc.test", "10.0.0.3", kProbeUdp, "eth0", 0, 4, 46, true};
    const std::string report = FormatMtrReport(run, hops, 3, events);
    EXPECT_NE(report.find("\nDSCP enviado: 46\nDSCP alterado a partir do salto 2\nFluxo fixo: sim\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("\nEventos:\n" + lines), std::string::npos) << report;
    // An unmarked run on changing flows without events reads as before: the table last.
    run.dscp = 0;
    run.fixedFlow = false;
    const std::string plain = FormatMtrReport(run, hops, 3);
    EXPECT_EQ(plain.substr(plain.size() - FormatMtrTable(hops, 3, true).size()), FormatMtrTable(hops, 3, true));
}
