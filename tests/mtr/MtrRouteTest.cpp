// What the MTR engine explains about a route, on real namespaced networks: the per-hop
// history following a link whose delay changes during the run and showing the losses of a
// lossy link, names from the client namespace's hosts file, the reports of orvanta-cli, and
// two routers at one hop behind a multipath route.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

#include "MtrTestUtil.h"
#include "logs/LogPaths.h"
#include "lib/MtrLive.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "ui/EngineTexts.h"

namespace fs = std::filesystem;
using namespace mtrtest;

namespace {

const std::string kTestnet = OC_TESTNET;
const std::string kLbNet = std::string(OC_SOURCE_DIR) + "/tests/mtr/lbnet.sh";
const std::string kCli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";

// The calling thread (and the threads it starts afterwards) live in namespace `ns` until the
// guard goes; sockets and captures opened meanwhile stay there.
class InNamespace {
public:
    explicit InNamespace(const std::string& ns) {
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ok_ = home_ >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
    }
    ~InNamespace() {
        if (home_ < 0) return;
        if (ok_) setns(home_, CLONE_NEWNET);
        close(home_);
    }
    bool Ok() const { return ok_; }

private:
    int home_ = -1;
    bool ok_ = false;
};

}  // namespace

// A chain of two routers: links 1-3 are 1, 2 and 1 ms one way; link 3 (to the target) loses
// a quarter of the frames each way. Brought up once for the tests of this suite.
class MtrRoute : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (geteuid() != 0) return;
        auto r = RunCommand(kTestnet + " up --prefix mh --hops 2 --delay-ms 1,2,1 --loss-pct 0,0,25 2>&1");
        upOutput = r.out;
        if (r.exitCode == 0) env = ParseKeyValues(r.out);
    }
    static void TearDownTestSuite() {
        if (!env.empty()) RunCommand(kTestnet + " down --prefix mh >/dev/null 2>&1");
        env.clear();
    }
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the test network needs root";
        ASSERT_FALSE(env.empty()) << upOutput;
    }
    static double Num(const std::string& key) { return std::atof(env[key].c_str()); }

    static inline std::map<std::string, std::string> env;
    static inline std::string upOutput;
};

// Link 2's delay goes from 2 to 20 ms after five cycles. Every probe of hops 2 and 3 sent
// before the change shows the short round trip, every one sent after it the long one; hop 1
// never changes. Hop 3 sits behind the lossy link: its lost probes are marked in its history,
// exactly as many as it counts, and the hops before that link have none.
TEST_F(MtrRoute, HistoryFollowsADelayChangeAndMarksTheLostProbes) {
    constexpr int kCycles = 12;
    InNamespace client(env["TESTNET_CLIENT_NS"]);
    ASSERT_TRUE(client.Ok());
    mtrtest::LiveMtr core;
    core.cycles = kCycles;
    ASSERT_TRUE(core.Start(env["TESTNET_TARGET_IP"], "eth0", kProbeIcmp, false))
        << StartErrorText(core.LastStartError());
    ASSERT_TRUE(core.Until([](const MtrSnapshot& s) { return s.status.cycles >= 5; }, std::chrono::seconds(30))->status.cycles >= 5);
    // The other tests of the suite see the link as it was brought up.
    struct Restore {
        ~Restore() { RunCommand(kTestnet + " delay --prefix mh --link 2 --delay-ms 2 >/dev/null 2>&1"); }
    } restore;
    const int64_t changeStart = MtrNowTicks();
    auto r = RunCommand(kTestnet + " delay --prefix mh --link 2 --delay-ms 20 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const int64_t changeDone = MtrNowTicks();
    ASSERT_TRUE(core.WaitFinished(60000));
    core.Stop();
    auto hops = core.GetHops();
    std::cout << FormatMtrTable(hops, core.MaxHops());
    ASSERT_EQ(core.MaxHops(), 3);

    // Expected round trips: 2 x the one-way delays up to the hop, plus the forwarder's
    // overhead (about 0.1 ms per link traversal, more on a loaded machine).
    const double before[] = {0, 2.0, 6.0, 8.0};
    const double after[] = {0, 2.0, 42.0, 44.0};
    int before2 = 0, after2 = 0;
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE("hop " + std::to_string(k));
        const HopStats& h = hops.at(k);
        ASSERT_EQ(h.history.Count(), static_cast<size_t>(kCycles));
        int lost = 0, answered = 0;
        for (size_t i = 0; i < h.history.Count(); ++i) {
            const HopSample& s = h.history.At(i);
            ASSERT_TRUE(s.Answered() || s.Lost()) << "probe " << i << " was settled";
            if (s.Lost()) {
                ++lost;
                continue;
            }
            ++answered;
            const int64_t sent = h.history.SampleTicks(s);
            // A probe sent while the change was being made may see either delay.
            if (sent < changeStart - 10'000) {
                EXPECT_GE(s.rttMs, before[k] - 0.3) << "probe " << i;
                EXPECT_LT(s.rttMs, before[k] + 8.0) << "probe " << i;
                if (k == 2) ++before2;
            } else if (sent > changeDone + 10'000) {
                EXPECT_GE(s.rttMs, after[k] - 0.3) << "probe " << i;
                EXPECT_LT(s.rttMs, after[k] + 8.0) << "probe " << i;
                if (k == 2) ++after2;
            }
        }
        EXPECT_EQ(lost, h.lost);
        EXPECT_EQ(answered, h.received);
        if (k < 3) {
            EXPECT_EQ(lost, 0);
        }
    }
    EXPECT_GE(before2, 4);
    EXPECT_GE(after2, 4);
    // A quarter lost each way: 44 % of round trips; the seeded forwarder loses some of 12.
    EXPECT_GT(hops.at(3).lost, 0);
    EXPECT_LT(hops.at(3).lost, kCycles);
    EXPECT_NE(HopHostText(hops.at(3)).find(env["TESTNET_TARGET_IP"]), std::string::npos);
}

// Names come from the client namespace's own hosts file (ip netns exec puts
// /etc/netns/<ns>/hosts over /etc/hosts). Hop 2 has no entry and keeps its address. The text
// report and the CSV carry the same rows, checked field by field.
TEST_F(MtrRoute, CliNamesFromTheNamespaceHostsFileAndItsReports) {
    const std::string ns = env["TESTNET_CLIENT_NS"];
    const std::string etc = "/etc/netns/" + ns;
    ASSERT_FALSE(fs::exists(etc)) << etc << " exists already; not touching it";
    fs::create_directories(etc);
    struct Cleanup {
        std::string dir;
        ~Cleanup() { fs::remove_all(dir); }
    } cleanup{etc};
    testsupport::WriteFile(etc + "/hosts", "127.0.0.1 localhost\n" + env["TESTNET_HOP1_IP"] + " r1.rota.test\n" +
                                               env["TESTNET_TARGET_IP"] + " alvo.rota.test\n");
    const std::string out = MakeTempDir("mtrroute");
    const std::string target = env["TESTNET_TARGET_IP"];
    auto report = RunCommand("ip netns exec " + ns + " " + kCli + " mtr " + target +
                             " --proto udp --cycles 4 --names --report --csv " + out + "/hops.csv");
    ASSERT_EQ(report.exitCode, 0) << report.out << report.err;
    std::cout << report.out;

    const std::vector<std::string> lines = Lines(report.out);
    ASSERT_EQ(lines.size(), 11u) << report.out;
    EXPECT_EQ(lines[0], "Relatorio MTR");
    EXPECT_EQ(lines[1], "Alvo: " + target);
    EXPECT_EQ(lines[2], "Protocolo: udp");
    EXPECT_EQ(lines[3], "Interface: eth0");  // where the probes leave
    EXPECT_EQ(lines[4].rfind("Inicio: ", 0), 0u);
    EXPECT_EQ(lines[5], "Ciclos: 4");
    EXPECT_EQ(lines[7].rfind("Salto  Host/IP", 0), 0u);
    EXPECT_NE(lines[7].find("Respondentes"), std::string::npos);
    EXPECT_NE(lines[8].find("r1.rota.test (" + env["TESTNET_HOP1_IP"] + ")"), std::string::npos) << lines[8];
    EXPECT_NE(lines[9].find("  " + env["TESTNET_HOP2_IP"] + "  "), std::string::npos) << lines[9];
    EXPECT_NE(lines[10].find("alvo.rota.test (" + target + ")"), std::string::npos) << lines[10];

    const std::vector<std::string> csv = Lines(testsupport::ReadFile(out + "/hops.csv"));
    ASSERT_EQ(csv.size(), 4u);
    EXPECT_EQ(csv[0], "\xEF\xBB\xBFSalto;Host/IP;Perda %;Env;Rec;Perd;Ult;Med;Melh;Pior;Jitter;MOS;DSCP;Respondentes");
    const std::string hostOf[] = {"", "r1.rota.test (" + env["TESTNET_HOP1_IP"] + ")", env["TESTNET_HOP2_IP"],
                                  "alvo.rota.test (" + target + ")"};
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE("hop " + std::to_string(k));
        const std::vector<std::string> f = Fields(csv[static_cast<size_t>(k)]);
        ASSERT_EQ(f.size(), 14u) << csv[static_cast<size_t>(k)];
        EXPECT_EQ(f[0], std::to_string(k));
        EXPECT_EQ(f[1], hostOf[k]);
        EXPECT_EQ(f[3], "4");
        const int received = std::atoi(f[4].c_str()), lost = std::atoi(f[5].c_str());
        EXPECT_EQ(received + lost, 4);
        char loss[16];
        std::snprintf(loss, sizeof loss, "%.1f", 100.0 * lost / 4);
        EXPECT_EQ(f[2], loss);
        if (k < 3) {
            EXPECT_EQ(lost, 0);
        }
        const double avg = std::atof(f[7].c_str()), best = std::atof(f[8].c_str()), worst = std::atof(f[9].c_str());
        const double expected = Num("TESTNET_HOP" + std::to_string(k) + "_RTT_MS");
        if (received > 0) {
            EXPECT_LE(best, avg);
            EXPECT_LE(avg, worst);
            EXPECT_GE(best, expected - 0.3);
            EXPECT_NEAR(avg, expected, 3.0);
            EXPECT_GT(std::atof(f[11].c_str()), 1.0);  // a MOS
            EXPECT_EQ(f[12], "0");  // unmarked probes, and the path leaves them so
            EXPECT_EQ(f[13], hostOf[k] + ": " + std::to_string(received) + " rec, " + f[7] + " ms");
        }
    }

    // The JSON carries the names and every probe's outcome.
    auto json = RunCommand("ip netns exec " + ns + " " + kCli + " mtr " + target + " --proto icmp --cycles 2 --names --json");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_NE(json.out.find("\"host\":\"" + env["TESTNET_HOP1_IP"] + "\",\"name\":\"r1.rota.test\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"host\":\"" + env["TESTNET_HOP2_IP"] + "\",\"name\":\"\""), std::string::npos);
    EXPECT_NE(json.out.find("\"address\":\"" + target + "\",\"name\":\"alvo.rota.test\""), std::string::npos);
    EXPECT_NE(json.out.find("\"history\":[{\"t_ms\":0,"), std::string::npos);
    fs::remove_all(out);
}

// Two routers at hop 2 behind a multipath route that hashes on ports: UDP probes (a new
// destination port each) meet both, and each is kept with its own counts.
TEST(MtrLoadBalanced, BothRoutersOfAHopAreKeptWithTheirOwnCounts) {
    if (geteuid() != 0) GTEST_SKIP() << "namespaces need root";
    struct Down {
        ~Down() { RunCommand(kLbNet + " down mlb >/dev/null 2>&1"); }
    } down;
    auto up = RunCommand(kLbNet + " up mlb 2>&1");
    ASSERT_EQ(up.exitCode, 0) << up.out;
    constexpr int kCycles = 12;
    std::map<int32_t, HopStats> hops;
    {
        InNamespace client("mlb-client");
        ASSERT_TRUE(client.Ok());
        mtrtest::LiveMtr core;
        core.cycles = kCycles;
        ASSERT_TRUE(core.Start("10.201.9.1", "eth0", kProbeUdp, false)) << StartErrorText(core.LastStartError());
        ASSERT_TRUE(core.WaitFinished(60000));
        core.Stop();
        hops = core.GetHops();
        std::cout << FormatMtrTable(hops, core.MaxHops(), true);
        EXPECT_EQ(core.MaxHops(), 3);
    }
    ASSERT_EQ(hops.at(1).responders.size(), 1u);
    ASSERT_EQ(hops.at(3).responders.size(), 1u);
    const HopStats& two = hops.at(2);
    EXPECT_EQ(two.received, kCycles);
    ASSERT_EQ(two.responders.size(), 2u) << HopRespondersText(two);
    std::set<std::string> addresses;
    int total = 0;
    for (const HopResponder& r : two.responders) {
        addresses.insert(r.address);
        EXPECT_GT(r.received, 0) << r.address;
        EXPECT_GT(r.avgMs, 0.0);
        EXPECT_LE(r.bestMs, r.avgMs);
        EXPECT_LE(r.avgMs, r.worstMs);
        total += r.received;
    }
    EXPECT_EQ(addresses, (std::set<std::string>{"10.201.2.2", "10.201.3.2"}));
    EXPECT_EQ(total, two.received);
    const HopResponder* main = two.MainResponder();
    for (const HopResponder& r : two.responders) EXPECT_LE(r.received, main->received);
    EXPECT_EQ(HopHostText(two), main->address + " +1");

    // The command line shows the same hop with its two routers.
    auto json = RunCommand("ip netns exec mlb-client " + kCli + " mtr 10.201.9.1 --cycles 6 --json");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_NE(json.out.find("{\"address\":\"10.201.2.2\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("{\"address\":\"10.201.3.2\""), std::string::npos) << json.out;
}
