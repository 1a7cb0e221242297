// Per-hop history, several responders per hop, hop names, the MOS estimate and the reports,
// against an engine fed by a fake network (no sockets, no capture).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <mutex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>
#include "lib/ProbeReplies.h"
#include "lib/TestSupport.h"
#include "mtr/HopNames.h"
#include "lib/MtrFakes.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "quality/EModel.h"

using probetest::ReplyFor;
using testsupport::WaitFor;

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, sep)) out.push_back(field);
    return out;
}

// The cells of one table line: columns are two or more blanks apart.
std::vector<std::string> Columns(const std::string& line) {
    std::vector<std::string> out;
    size_t i = line.find_first_not_of(' ');
    while (i != std::string::npos) {
        size_t end = line.find("  ", i);
        out.push_back(line.substr(i, end == std::string::npos ? std::string::npos : end - i));
        i = end == std::string::npos ? end : line.find_first_not_of(' ', end);
    }
    return out;
}

// A hop whose every figure is known, for the report renderings.
HopStats TwoRouterHop() {
    HopStats h;
    h.host = "10.1.2.3";
    h.sent = 10;
    h.received = 8;
    h.lost = 2;
    h.lastMs = 21.0;
    h.avgMs = 20.0;
    h.bestMs = 18.0;
    h.worstMs = 24.5;
    h.jitterMs = 1.5;
    h.responders = {{"10.1.2.3", "r2a.example", 5, 19.0, 18.0, 21.0}, {"10.1.3.3", "", 3, 21.5, 19.5, 24.5}};
    h.history.Push(10'000'000);
    h.history.Settle(0, 19.0f);
    h.history.Push(20'000'000);
    h.history.Settle(1, kHopSampleLost);
    h.history.Push(30'000'000);  // still waiting: left out of the JSON
    return h;
}

}  // namespace

TEST(MtrHistoryRing, KeepsTheNewestProbesInSendOrderAndSettlesOnlyThoseStillKept) {
    HopHistory h;
    EXPECT_EQ(h.Count(), 0u);
    const int64_t t0 = 17'000'000'000'000'000;
    for (uint64_t i = 0; i < kMtrHistoryLength + 50; ++i) EXPECT_EQ(h.Push(t0 + static_cast<int64_t>(i) * 10'000'000), i);
    ASSERT_EQ(h.Count(), kMtrHistoryLength);
    // The oldest kept is probe 50, sent 50 s after the first; every slot starts out waiting.
    EXPECT_EQ(h.At(0).sentMs, 50'000u);
    EXPECT_EQ(h.SampleTicks(h.At(0)), t0 + 500'000'000);
    EXPECT_EQ(h.At(kMtrHistoryLength - 1).sentMs, (kMtrHistoryLength + 49) * 1000u);
    EXPECT_FALSE(h.At(0).Answered());
    EXPECT_FALSE(h.At(0).Lost());

    h.Settle(49, 5.0f);  // overwritten by probe 649: must not touch it
    h.Settle(50, 7.5f);
    h.Settle(kMtrHistoryLength + 49, kHopSampleLost);
    h.Settle(kMtrHistoryLength + 50, 1.0f);  // never sent
    EXPECT_FLOAT_EQ(h.At(0).rttMs, 7.5f);
    EXPECT_TRUE(h.At(kMtrHistoryLength - 1).Lost());
    for (size_t i = 1; i + 1 < kMtrHistoryLength; ++i) ASSERT_EQ(h.At(i).rttMs, kHopSamplePending) << i;
}

// Three hops: hop 1 always answers, hop 2 is two routers taking turns and loses every third
// probe, hop 3 is the target. The round trip grows from 5 to 40 ms after the second cycle.
// Every probe's outcome must sit where that probe was, and each router keeps its own counts.
TEST(MtrHistoryEngine, RecordsEachProbeWhereItWasAndEveryResponder) {
    mtrtest::FakeMtr mtr;
    std::map<int32_t, int> probesPerTtl;  // the engine's thread only
    mtr.net->onSend = [&](int32_t ttl, int32_t seq, int32_t, int64_t at) {
        const int n = probesPerTtl[ttl]++;
        const int64_t rtt = (n < 2 ? 5 : 40) * 10'000 + ttl * 1'000;
        std::string from = ttl == 1 ? "10.0.1.1" : ttl == 2 ? (n % 2 ? "10.0.2.2" : "10.0.2.1") : "10.0.0.99";
        if (ttl == 2 && n % 3 == 2) return;  // lost
        mtr.net->Reply(ReplyFor(mtr.net->Identity(), seq, from, at + rtt));
    };
    ASSERT_TRUE(mtr.Start(kProbeUdp, 4, 1, 1010)->Running());
    for (int i = 0; i < 2000 && !mtr.Snap()->status.probingFinished; ++i) ASSERT_TRUE(mtr.clock->AdvanceMs(5));
    ASSERT_TRUE(mtr.Snap()->status.probingFinished);
    const auto snap = mtr.Stop();
    const auto& hops = snap->hops;
    ASSERT_EQ(snap->maxHops, 3);

    for (int ttl = 1; ttl <= 3; ++ttl) {
        SCOPED_TRACE("hop " + std::to_string(ttl));
        const HopStats& h = hops.at(ttl);
        ASSERT_EQ(h.history.Count(), 4u);
        for (size_t i = 0; i < 4; ++i) {
            const HopSample& s = h.history.At(i);
            if (ttl == 2 && i == 2) {
                EXPECT_TRUE(s.Lost()) << i;
                continue;
            }
            ASSERT_TRUE(s.Answered()) << i;
            // Each probe's own round trip: 5 ms before the change, 40 ms after it.
            EXPECT_GE(s.rttMs, i < 2 ? 5.0f : 40.0f) << i;
            EXPECT_LT(s.rttMs, i < 2 ? 20.0f : 55.0f) << i;
            // One probe per cycle, so about a cycle apart and in order.
            if (i) {
                EXPECT_GE(s.sentMs, h.history.At(i - 1).sentMs + 1000) << i;
            }
        }
    }
    const HopStats& two = hops.at(2);
    EXPECT_EQ(two.lost, 1);
    ASSERT_EQ(two.responders.size(), 2u);
    EXPECT_EQ(two.responders[0].address, "10.0.2.1");  // first to answer comes first
    EXPECT_EQ(two.responders[0].received, 1);           // probe 0 (probe 2 was lost)
    EXPECT_EQ(two.responders[1].address, "10.0.2.2");
    EXPECT_EQ(two.responders[1].received, 2);           // probes 1 and 3
    EXPECT_LT(two.responders[1].bestMs, 20.0);          // probe 1: before the change
    EXPECT_GE(two.responders[1].worstMs, 40.0);         // probe 3: after it
    EXPECT_NEAR(two.responders[1].avgMs, (two.responders[1].bestMs + two.responders[1].worstMs) / 2, 1e-9);
    EXPECT_EQ(two.MainResponder()->address, "10.0.2.2");
    EXPECT_EQ(HopHostText(two), "10.0.2.2 +1");
    EXPECT_EQ(HopHostText(hops.at(1)), "10.0.1.1");

    // A Clear drops the history with the rows; the next run starts a fresh one.
    mtr.core->Clear();
    mtr.clock->Settle();
    EXPECT_TRUE(mtr.Snap()->hops.empty());
}

TEST(MtrHopNames, LooksUpOnceOffTheCallerAndGivesUpOnSilentServers) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex m;
    std::map<std::string, int> calls;
    HopNames names(
        [&, released](const std::string& address) -> std::optional<std::string> {
            {
                std::lock_guard<std::mutex> lock(m);
                ++calls[address];
            }
            if (address == "10.0.0.1") {
                released.wait();  // a name server that holds the lookup until the test lets go
                return "slow.example";
            }
            if (address == "10.0.0.9") {
                // never answers within the time-out
                released.wait();
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                return "late.example";
            }
            if (address == "10.0.0.2") return "r2.example";
            return std::nullopt;
        },
        std::chrono::milliseconds(200));

    // Nothing is known yet, and asking does not wait for the held lookup.
    EXPECT_EQ(names.NameOf("10.0.0.1"), "");
    EXPECT_EQ(names.NameOf("10.0.0.2"), "");
    EXPECT_EQ(names.NameOf("10.0.0.1"), "");
    release.set_value();
    ASSERT_TRUE(names.WaitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(names.NameOf("10.0.0.1"), "slow.example");
    EXPECT_EQ(names.NameOf("10.0.0.2"), "r2.example");

    // No name: the address stays as it is. A lookup past the time-out is given up, and the
    // queue behind it goes on.
    EXPECT_EQ(names.NameOf("10.0.0.3"), "");
    EXPECT_EQ(names.NameOf("10.0.0.9"), "");
    EXPECT_EQ(names.NameOf("10.0.0.2"), "r2.example");
    EXPECT_EQ(names.NameOf("10.0.0.4"), "");
    ASSERT_TRUE(names.WaitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(names.NameOf("10.0.0.9"), "");
    EXPECT_EQ(names.NameOf("10.0.0.3"), "");
    std::lock_guard<std::mutex> lock(m);
    for (const auto& [address, n] : calls) EXPECT_EQ(n, 1) << address;
    EXPECT_EQ(calls.size(), 5u);
}

TEST(MtrHopNames, EngineFillsNamesOnlyWhileTheyAreOn) {
    MtrEngineOptions options;
    options.nameLookup = [](const std::string& a) -> std::optional<std::string> {
        if (a == "10.0.0.4") return "r4.example";
        return std::nullopt;
    };
    options.nameTimeout = std::chrono::milliseconds(500);
    mtrtest::FakeMtr mtr(options);
    // Hop 4 answers twice, 10 ms after each probe: first from 10.0.0.4, then from 10.0.0.5.
    int answers = 0;  // the engine's thread only
    mtr.net->onSend = [&](int32_t ttl, int32_t seq, int32_t, int64_t at) {
        if (ttl != 4 || answers >= 2) return;
        mtr.net->Reply(ReplyFor(mtr.net->Identity(), seq, answers++ ? "10.0.0.5" : "10.0.0.4", at + 100'000));
    };
    ASSERT_TRUE(mtr.Start(kProbeIcmp, 0, 1, 10)->Running());
    ASSERT_TRUE(mtr.clock->RunMs(100, 1));
    MtrCore& core = *mtr.core;
    EXPECT_EQ(mtr.Stop()->hops.at(4).responders[0].name, "");  // off: nothing asked
    core.SetNamesEnabled(true);
    ASSERT_TRUE(core.WaitForNames(std::chrono::seconds(5)));
    const HopStats h = core.Snapshot()->hops.at(4);
    EXPECT_EQ(h.responders[0].name, "r4.example");
    EXPECT_EQ(h.responders[1].name, "");
    EXPECT_EQ(HopHostText(h), "r4.example (10.0.0.4) +1");
    EXPECT_EQ(HopRespondersText(h), "r4.example (10.0.0.4): 1 rec, 10.0 ms; 10.0.0.5: 1 rec, 10.0 ms");
    core.SetNamesEnabled(false);
    mtr.clock->Settle();
    EXPECT_EQ(HopHostText(core.Snapshot()->hops.at(4)), "10.0.0.4 +1");
}

TEST(MtrMos, FollowsTheHopsLossDelayAndJitter) {
    HopStats h;
    EXPECT_FALSE(HopMos(h).has_value());  // nothing answered: no estimate
    h.sent = h.received = 10;
    h.avgMs = 20.0;
    const double clean = *HopMos(h);
    EXPECT_NEAR(clean, emodel::EstimateMos(*emodel::ImpairmentFor("G711u"), 0.0, 10.0), 1e-9);
    EXPECT_GT(clean, 4.3);
    h.jitterMs = 40.0;  // a jitter buffer of 80 ms more
    EXPECT_NEAR(*HopMos(h), emodel::EstimateMos(*emodel::ImpairmentFor("G711u"), 0.0, 90.0), 1e-9);
    h.jitterMs = 0.0;
    h.avgMs = 600.0;  // 300 ms one way: past the delay knee
    EXPECT_LT(*HopMos(h), clean - 0.3);
    h.avgMs = 20.0;
    h.lost = 3;
    h.sent = 13;
    EXPECT_LT(*HopMos(h), 3.6);  // 23 % loss ruins a call
}

TEST(MtrReports, TextCsvAndJsonCarryEveryColumnAndTheResponders) {
    std::map<int32_t, HopStats> hops;
    HopStats silent;
    silent.host = "???";
    silent.sent = 3;
    silent.lost = 3;
    hops[1] = silent;
    hops[2] = TwoRouterHop();
    hops[3] = TwoRouterHop();  // beyond the limit: in no report

    MtrRunInfo run{"router.test", "10.1.9.9", kProbeIcmp, "eth0", 0, 7};
    const std::string text = FormatMtrReport(run, hops, 2);
    const std::vector<std::string> lines = Split(text, '\n');
    ASSERT_EQ(lines.size(), 10u) << text;
    EXPECT_EQ(lines[0], "Relatorio MTR");
    EXPECT_EQ(lines[1], "Alvo: router.test (10.1.9.9)");
    EXPECT_EQ(lines[2], "Protocolo: icmp");
    EXPECT_EQ(lines[3], "Interface: eth0");
    EXPECT_EQ(lines[4], "Inicio: -");  // never started
    EXPECT_EQ(lines[5], "Ciclos: 7");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7].rfind("Salto  Host/IP", 0), 0u);
    EXPECT_NE(lines[7].find("Jitter   MOS  DSCP  Respondentes"), std::string::npos) << lines[7];
    EXPECT_NE(lines[8].find("???"), std::string::npos);
    EXPECT_NE(lines[8].find("100.0%"), std::string::npos);
    const std::string mos = [&] {
        char b[16];
        std::snprintf(b, sizeof b, "%.2f", *HopMos(hops[2]));
        return std::string(b);
    }();
    const std::vector<std::string> row = Columns(lines[9]);
    const std::vector<std::string> expectedRow = {
        "2",       "r2a.example (10.1.2.3) +1", "20.0%",   "10",      "8",       "2",       "21.0 ms",
        "20.0 ms", "18.0 ms",                   "24.5 ms", "1.50 ms", mos,     "-",
        "r2a.example (10.1.2.3): 5 rec, 19.0 ms; 10.1.3.3: 3 rec, 21.5 ms"};
    EXPECT_EQ(row, expectedRow) << lines[9];

    run.device.clear();
    run.targetHost = "10.1.9.9";
    run.startTicks = 17'000'000'000'000'000;
    const std::vector<std::string> plain = Split(FormatMtrReport(run, hops, 2), '\n');
    EXPECT_EQ(plain[1], "Alvo: 10.1.9.9");
    EXPECT_EQ(plain[3], "Interface: padrao");
    EXPECT_EQ(plain[4].size(), std::string("Inicio: dd/mm/yyyy hh:mm:ss").size()) << plain[4];

    const std::vector<std::string> csv = Split(FormatMtrCsv(hops, 2), '\n');
    ASSERT_EQ(csv.size(), 3u);
    EXPECT_EQ(csv[0], "Salto;Host/IP;Perda %;Env;Rec;Perd;Ult;Med;Melh;Pior;Jitter;MOS;DSCP;Respondentes");
    EXPECT_EQ(csv[1], "1;???;100.0;3;0;3;0.0;0.0;9999.0;0.0;0.00;;;");
    const std::vector<std::string> f = Split(csv[2], ';');
    // The responders hold "; " between them, so that field is quoted and splits apart here.
    ASSERT_EQ(f.size(), 15u) << csv[2];
    const std::vector<std::string> expected = {"2",    "r2a.example (10.1.2.3) +1", "20.0", "10",  "8",
                                               "2",    "21.0",                      "20.0", "18.0", "24.5",
                                               "1.50", mos,  "",   "\"r2a.example (10.1.2.3): 5 rec, 19.0 ms",
                                               " 10.1.3.3: 3 rec, 21.5 ms\""};
    EXPECT_EQ(f, expected);

    const std::string json = FormatMtrJson("10.1.9.9", kProbeIcmp, hops, 2);
    const auto doc = nlohmann::json::parse(json);
    const auto& hop2 = doc["hops"][1];
    EXPECT_EQ(hop2["host"], "10.1.2.3");
    EXPECT_EQ(hop2["name"], "r2a.example");
    EXPECT_NEAR(hop2["mos"].get<double>(), std::stod(mos), 0.005);
    const auto expectedResponders = nlohmann::json::parse(
        R"([{"address": "10.1.2.3", "name": "r2a.example", "received": 5, "avg_ms": 19.0, "best_ms": 18.0,
             "worst_ms": 21.0},
            {"address": "10.1.3.3", "name": "", "received": 3, "avg_ms": 21.5, "best_ms": 19.5, "worst_ms": 24.5}])");
    EXPECT_EQ(hop2["responders"], expectedResponders) << json;
    EXPECT_EQ(hop2["history"], nlohmann::json::parse(R"([{"t_ms": 0, "rtt_ms": 19.0}, {"t_ms": 1000, "lost": true}])"))
        << json;
    EXPECT_TRUE(doc["hops"][0]["mos"].is_null());
    EXPECT_EQ(doc["hops"][0]["responders"], nlohmann::json::array());
    EXPECT_EQ(doc["hops"][0]["history"], nlohmann::json::array());
}

TEST(MtrReports, FilesLandWholeInTheFolderOrSayWhy) {
    const std::string dir = testsupport::MakeTempDir("mtrreport");
    std::map<int32_t, HopStats> hops{{1, TwoRouterHop()}};
    const MtrRunInfo run{"10.1.9.9", "10.1.9.9", kProbeUdp, "", 0, 1};
    const MtrReportFiles files = WriteMtrReportFiles(dir + "/mtr", "08122026_101500", run, hops, 30);
    EXPECT_EQ(files.error, "");
    EXPECT_EQ(files.textPath, dir + "/mtr/08122026_101500_relatorio.txt");
    EXPECT_EQ(files.csvPath, dir + "/mtr/08122026_101500_relatorio.csv");
    EXPECT_EQ(testsupport::ReadFile(files.textPath), FormatMtrReport(run, hops, 30));
    // The CSV opens in a spreadsheet as UTF-8.
    EXPECT_EQ(testsupport::ReadFile(files.csvPath), std::string("\xEF\xBB\xBF") + FormatMtrCsv(hops, 30));

    // A folder that cannot be made (a file stands in its way) is reported, not hidden.
    testsupport::WriteFile(dir + "/blocked", "x");
    const MtrReportFiles failed = WriteMtrReportFiles(dir + "/blocked/mtr", "x", run, hops, 30);
    EXPECT_NE(failed.error, "");
    EXPECT_EQ(failed.textPath, "");
    EXPECT_EQ(failed.csvPath, "");
    std::filesystem::remove_all(dir);
}
