// Real runs on a routed chain of namespaces (tests/testnet): client, three routers, target,
// with per-link delays and loss on link 3. Each test brings the chain up, re-runs itself
// inside the client namespace (ip netns exec), and takes the chain down again.
#include <algorithm>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "logs/LogPaths.h"
#include "lib/MtrLive.h"
#include "mtr/MtrCore.h"
#include "mtr/MtrReport.h"
#include "MtrTestUtil.h"
#include "ui/EngineTexts.h"

namespace fs = std::filesystem;
using namespace mtrtest;

namespace {

const std::string kTestnet = OC_TESTNET;
const std::string kPrefix = "tm";
// One-way delay per link (ms) and loss per link (%): hop RTTs 4, 10, 20 and 24 ms; hops 3
// and 4 lose 1 - 0.8^2 = 36 % of round trips.
const std::string kUpArgs = "--hops 3 --delay-ms 2,3,5,2 --loss-pct 0,0,20";
constexpr int kCycles = 8;
constexpr int kFloodCycles = 6;

bool InClient() { return std::getenv("OC_MTR_NETNS_CHILD") != nullptr; }

std::string SelfPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

struct Case {
    int32_t protocol;
    const char* device;
    bool icmpDatagram = false;  // unprivileged ICMP socket: the kernel picks the identifier
};

// The median round trip of a hop's answered probes: one probe held up by a busy machine (the
// probing thread scheduled late) moves the mean of a few cycles by tens of milliseconds, not
// the median, and the links' delays are what is checked.
double MedianRttMs(const HopStats& h) {
    std::vector<double> rtts;
    for (size_t i = 0; i < h.history.Count(); ++i)
        if (h.history.At(i).Answered()) rtts.push_back(h.history.At(i).rttMs);
    if (rtts.empty()) return -1.0;
    std::sort(rtts.begin(), rtts.end());
    return rtts[rtts.size() / 2];
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string dev = info.param.device;
    return ProbeProtocolName(info.param.protocol) + "_" + (dev == "any" ? "any" : "eth0") +
           (info.param.icmpDatagram ? "_datagram" : "");
}

}  // namespace

class MtrNetwork : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (InClient()) {
            env = ParseKeyValues(RunCommand(kTestnet + " env --prefix " + kPrefix).out);
            ASSERT_FALSE(env["TESTNET_TARGET_IP"].empty());
            return;
        }
        if (geteuid() != 0) GTEST_SKIP() << "the test network needs root";
        auto r = RunCommand(kTestnet + " up --prefix " + kPrefix + " " + UpArgs() + " 2>/dev/null");
        up = true;
        ASSERT_EQ(r.exitCode, 0) << r.out;
        env = ParseKeyValues(r.out);
    }
    void TearDown() override {
        if (up) RunCommand(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1");
    }
    // Runs the current test again inside the client namespace; its result is this test's.
    void RunInClient() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string filter = std::string(info->test_suite_name()) + "." + info->name();
        auto r = RunCommand("OC_MTR_NETNS_CHILD=1 ip netns exec " + env["TESTNET_CLIENT_NS"] + " " + SelfPath() +
                            " --gtest_filter='" + filter + "' 2>&1");
        std::cout << r.out;
        EXPECT_EQ(r.exitCode, 0) << "the run inside the client namespace failed";
    }
    double Num(const std::string& key) { return std::atof(env[key].c_str()); }
    virtual std::string UpArgs() const { return kUpArgs; }

    std::map<std::string, std::string> env;
    bool up = false;
};

TEST_P(MtrNetwork, TraceShowsEveryHopItsDelayAndTheLoss) {
    if (!InClient()) return RunInClient();
    const Case c = GetParam();
    std::string dir = MakeTempDir("mtrnet");
    SetExecutableDirectoryForTesting(dir);

    mtrtest::LiveMtr core;
    core.cycles = kCycles;
    core.net->Sender().SetIcmpDatagramOnlyForTesting(c.icmpDatagram);
    ASSERT_TRUE(core.Start(env["TESTNET_TARGET_IP"], c.device, c.protocol, true))
        << StartErrorText(core.LastStartError());
    EXPECT_EQ(core.IcmpIsDatagram(), c.icmpDatagram);
    ASSERT_TRUE(core.WaitFinished(60000));
    core.Stop();
    auto hops = core.GetHops();
    std::cout << FormatMtrTable(hops, core.MaxHops());

    const int targetHop = std::atoi(env["TESTNET_TARGET_HOP"].c_str());
    ASSERT_EQ(targetHop, 4);
    EXPECT_EQ(core.MaxHops(), targetHop);
    int lossySent = 0, lossyLost = 0;
    for (int k = 1; k <= targetHop; ++k) {
        SCOPED_TRACE("hop " + std::to_string(k));
        ASSERT_EQ(hops.count(k), 1u);
        const HopStats& h = hops[k];
        std::string ip = k == targetHop ? env["TESTNET_TARGET_IP"] : env["TESTNET_HOP" + std::to_string(k) + "_IP"];
        EXPECT_EQ(h.host, ip);
        EXPECT_EQ(h.sent, kCycles);
        EXPECT_EQ(h.received + h.lost, h.sent);  // the final sweep settled every probe
        ASSERT_GT(h.received, 0);
        const double expected = Num("TESTNET_HOP" + std::to_string(k) + "_RTT_MS");
        // Reply times come from capture time stamps: the forwarder adds about 0.1 ms per link
        // traversal; a loaded machine adds scheduling delay now and then.
        EXPECT_GE(h.bestMs, expected - 0.3);
        EXPECT_LE(h.bestMs, expected + 2.0);
        EXPECT_NEAR(MedianRttMs(h), expected, std::max(3.0, expected * 0.3));
        if (Num("TESTNET_HOP" + std::to_string(k) + "_LOSS_PCT") == 0) {
            EXPECT_EQ(h.lost, 0);
        } else {
            lossySent += h.sent;
            lossyLost += h.lost;
        }
    }
    // Hops 3 and 4 together: 16 round trips through the lossy link.
    const double expectedLoss = Num("TESTNET_HOP3_LOSS_PCT");
    ASSERT_GT(lossySent, 0);
    const double loss = 100.0 * lossyLost / lossySent;
    EXPECT_GT(lossyLost, 0);
    EXPECT_NEAR(loss, expectedLoss, 25.0);

    // The capture was saved in a log folder created for it.
    std::string path = core.PcapPath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::path(path).filename().string().substr(15), "_" + ProbeProtocolName(c.protocol) + ".pcap");
    int received = 0;
    for (const auto& [ttl, h] : hops) received += h.received;
    EXPECT_GE(CountPcapRecords(path), received);
    SetExecutableDirectoryForTesting("");
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Protocols, MtrNetwork,
                         ::testing::Values(Case{kProbeUdp, "eth0"}, Case{kProbeIcmp, "eth0"},
                                           Case{kProbeIcmp, "eth0", true}, Case{kProbeTcp, "eth0"},
                                           Case{kProbeTcp, "any"}),
                         CaseName);

// orvanta-cli inside the client namespace prints the hops as JSON and as the tab's table.
TEST(MtrNetworkCli, PrintsHopsAsJsonAndTable) {
    if (geteuid() != 0) GTEST_SKIP() << "the test network needs root";
    struct Down {
        ~Down() { RunCommand(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1"); }
    } down;
    auto r = RunCommand(kTestnet + " up --prefix " + kPrefix + " --hops 2 --delay-ms 1,1,1 2>/dev/null");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    auto env = ParseKeyValues(r.out);
    std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    std::string target = env["TESTNET_TARGET_IP"];
    auto json = RunCommand(kTestnet + " exec --prefix " + kPrefix + " " + cli + " mtr " + target +
                           " --iface eth0 --proto icmp --cycles 2 --json");
    auto table = RunCommand(kTestnet + " exec --prefix " + kPrefix + " " + cli + " mtr " + target +
                            " --proto udp --cycles 1");

    EXPECT_EQ(json.exitCode, 0) << json.out;
    EXPECT_EQ(json.out.rfind("{\"target\":\"" + target + "\",\"protocol\":\"icmp\",\"hops\":[{\"ttl\":1,\"host\":\"" +
                                 env["TESTNET_HOP1_IP"] + "\",\"name\":\"\",\"loss_pct\":0.0,\"sent\":2,\"received\":2,\"lost\":0,",
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("{\"ttl\":2,\"host\":\"" + env["TESTNET_HOP2_IP"] + "\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("{\"ttl\":3,\"host\":\"" + target + "\""), std::string::npos) << json.out;
    EXPECT_EQ(json.out.find("\"ttl\":4"), std::string::npos) << json.out;

    EXPECT_EQ(table.exitCode, 0) << table.out;
    EXPECT_NE(table.out.find("Salto  Host/IP"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("    3  " + target), std::string::npos) << table.out;
}

// The same chain with IPv6 beside IPv4: every hop answers the three probe kinds over IPv6
// from its client-side address, with the links' delays; the target is reached.
const std::string kUpArgs6 = "--hops 2 --delay-ms 2,3,1 --ipv6";

class MtrNetwork6 : public MtrNetwork {
protected:
    std::string UpArgs() const override { return kUpArgs6; }
};

TEST_P(MtrNetwork6, TraceOverIpv6ShowsEveryHopAndItsDelay) {
    if (!InClient()) return RunInClient();
    const Case c = GetParam();
    ASSERT_FALSE(env["TESTNET_TARGET_IP6"].empty()) << "the chain has no IPv6";
    mtrtest::LiveMtr core;
    core.cycles = 4;
    core.family = kFamilyIpv6;
    ASSERT_TRUE(core.Start(env["TESTNET_TARGET_IP6"], c.device, c.protocol, false))
        << StartErrorText(core.LastStartError());
    EXPECT_EQ(core.TargetIp(), env["TESTNET_TARGET_IP6"]);
    ASSERT_TRUE(core.WaitFinished(60000));
    core.Stop();
    auto hops = core.GetHops();
    std::cout << FormatMtrTable(hops, core.MaxHops());
    EXPECT_EQ(core.MaxHops(), 3);
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE("hop " + std::to_string(k));
        ASSERT_EQ(hops.count(k), 1u);
        const HopStats& h = hops[k];
        EXPECT_EQ(h.host, env["TESTNET_HOP" + std::to_string(k) + "_IP6"]);
        EXPECT_EQ(h.sent, 4);
        EXPECT_EQ(h.received, 4);
        const double expected = Num("TESTNET_HOP" + std::to_string(k) + "_RTT_MS");
        EXPECT_GE(h.bestMs, expected - 0.3);
        EXPECT_NEAR(MedianRttMs(h), expected, std::max(3.0, expected * 0.3));
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, MtrNetwork6,
                         ::testing::Values(Case{kProbeUdp, "eth0"}, Case{kProbeIcmp, "eth0"},
                                           Case{kProbeIcmp, "eth0", true}, Case{kProbeTcp, "eth0"},
                                           Case{kProbeTcp, "any"}),
                         CaseName);

// The client reaches the chain through a TUN device, as through a VPN or PPP link: no link
// header, so TCP probes leave as bare IP datagrams through a raw socket, and the capture on
// eth0 holds bare IP packets. Every hop still answers with the link delays, over IPv6 and,
// for TCP, over IPv4 as well.
class MtrNetworkTun : public MtrNetwork {
protected:
    std::string UpArgs() const override { return kUpArgs6 + " --client-link tun"; }
};

TEST_P(MtrNetworkTun, TraceThroughALinkWithoutHeaderShowsEveryHop) {
    if (!InClient()) return RunInClient();
    const Case c = GetParam();
    ASSERT_EQ(env["TESTNET_CLIENT_LINK"], "tun");
    std::vector<int32_t> families{kFamilyIpv6};
    if (c.protocol == kProbeTcp) families.push_back(kFamilyIpv4);
    for (const int32_t family : families) {
        const bool v6 = family == kFamilyIpv6;
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        const std::string suffix = v6 ? "_IP6" : "_IP";
        const std::string target = env["TESTNET_TARGET" + suffix];
        mtrtest::LiveMtr core;
        core.cycles = 3;
        core.family = family;
        ASSERT_TRUE(core.Start(target, c.device, c.protocol, false)) << StartErrorText(core.LastStartError());
        ASSERT_TRUE(core.WaitFinished(60000));
        core.Stop();
        auto hops = core.GetHops();
        std::cout << FormatMtrTable(hops, core.MaxHops());
        EXPECT_EQ(core.MaxHops(), 3);
        for (int k = 1; k <= 3; ++k) {
            SCOPED_TRACE("hop " + std::to_string(k));
            ASSERT_EQ(hops.count(k), 1u);
            const HopStats& h = hops[k];
            EXPECT_EQ(h.host, env["TESTNET_HOP" + std::to_string(k) + suffix]);
            EXPECT_EQ(h.sent, 3);
            EXPECT_EQ(h.received, 3);
            const double expected = Num("TESTNET_HOP" + std::to_string(k) + "_RTT_MS");
            EXPECT_GE(h.bestMs, expected - 0.3);
            EXPECT_NEAR(MedianRttMs(h), expected, std::max(3.0, expected * 0.3));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, MtrNetworkTun,
                         ::testing::Values(Case{kProbeUdp, "eth0"}, Case{kProbeIcmp, "eth0"}, Case{kProbeTcp, "eth0"},
                                           Case{kProbeTcp, "any"}),
                         CaseName);

// orvanta-cli mtr over IPv6: hops and target by their RFC 5952 addresses; -6 refuses IPv4.
TEST(MtrNetworkCli, DashSixTracesOverIpv6) {
    if (geteuid() != 0) GTEST_SKIP() << "the test network needs root";
    struct Down {
        ~Down() { RunCommand(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1"); }
    } down;
    auto r = RunCommand(kTestnet + " up --prefix " + kPrefix + " --hops 1 --ipv6 2>/dev/null");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    auto env = ParseKeyValues(r.out);
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    // -6 takes IPv6 only: an IPv4 literal does not resolve; an IPv6 literal needs no -6.
    auto v4 = RunCommand(kTestnet + " exec --prefix " + kPrefix + " " + cli + " mtr " + env["TESTNET_TARGET_IP"] +
                         " -6 --proto icmp --cycles 1 --json");
    EXPECT_NE(v4.exitCode, 0) << v4.out;
    EXPECT_EQ(v4.out.find("\"hops\""), std::string::npos) << v4.out;
    const std::string target = env["TESTNET_TARGET_IP6"];
    auto udp = RunCommand(kTestnet + " exec --prefix " + kPrefix + " " + cli + " mtr " + target +
                          " --proto udp --cycles 2 --json");
    EXPECT_EQ(udp.exitCode, 0) << udp.out;
    EXPECT_NE(udp.out.find("{\"ttl\":1,\"host\":\"" + env["TESTNET_HOP1_IP6"] + "\""), std::string::npos) << udp.out;
    EXPECT_NE(udp.out.find("{\"ttl\":2,\"host\":\"" + target + "\""), std::string::npos) << udp.out;
    EXPECT_EQ(udp.out.find("\"ttl\":3"), std::string::npos) << udp.out;
}

namespace {

// A `ping -i 0.002` flood started by the test (inside the client namespace) and ended by it.
class PingFlood {
public:
    explicit PingFlood(const std::string& address) {
        pid = fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execlp("ping", "ping", "-q", "-n", "-i", "0.002", address.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~PingFlood() {
        if (pid <= 0) return;
        kill(pid, SIGINT);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    // True while the ping runs (it did not fail to start).
    bool Running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

private:
    pid_t pid = -1;
};

bool HavePing() { return RunCommand("command -v ping >/dev/null 2>&1").exitCode == 0; }

}  // namespace

// Two other programs flood the target and hop 2 with pings from the same machine, so echo
// replies with every sequence number (and errors, RSTs...) pass the capture all the time. The
// run still finds every hop at its own address, the target at hop 4, and loses nothing.
class MtrFlood : public MtrNetwork {
protected:
    // Delays without loss: every hop has its own round trip, and every probe is answered.
    std::string UpArgs() const override { return "--hops 3 --delay-ms 2,3,5,2"; }
};

TEST_P(MtrFlood, ForeignPingFloodsDoNotDisturbTheTrace) {
    if (!InClient()) {
        if (!HavePing()) GTEST_SKIP() << "ping (iputils-ping) is not installed";
        return RunInClient();
    }
    const Case c = GetParam();
    PingFlood toTarget(env["TESTNET_TARGET_IP"]);
    PingFlood toHop2(env["TESTNET_HOP2_IP"]);
    ASSERT_TRUE(toTarget.Running());
    ASSERT_TRUE(toHop2.Running());
    mtrtest::LiveMtr core;
    core.cycles = kFloodCycles;
    core.net->Sender().SetIcmpDatagramOnlyForTesting(c.icmpDatagram);
    ASSERT_TRUE(core.Start(env["TESTNET_TARGET_IP"], c.device, c.protocol, false))
        << StartErrorText(core.LastStartError());
    ASSERT_TRUE(core.WaitFinished(60000));
    core.Stop();
    auto hops = core.GetHops();
    std::cout << FormatMtrTable(hops, core.MaxHops());
    EXPECT_EQ(core.MaxHops(), 4);
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE("hop " + std::to_string(k));
        ASSERT_EQ(hops.count(k), 1u);
        const HopStats& h = hops[k];
        EXPECT_EQ(h.host, k == 4 ? env["TESTNET_TARGET_IP"] : env["TESTNET_HOP" + std::to_string(k) + "_IP"]);
        EXPECT_EQ(h.sent, kFloodCycles);
        EXPECT_EQ(h.received, h.sent);
        EXPECT_EQ(h.lost, 0);
        // A reply to one of the floods is answered at once; taken for a probe's reply it
        // would show a round trip below the hop's real one.
        EXPECT_GE(h.bestMs, Num("TESTNET_HOP" + std::to_string(k) + "_RTT_MS") - 0.3);
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, MtrFlood,
                         ::testing::Values(Case{kProbeUdp, "eth0"}, Case{kProbeIcmp, "eth0"},
                                           Case{kProbeIcmp, "eth0", true}, Case{kProbeTcp, "eth0"}),
                         CaseName);

// The capture interface disappears mid-run: the engine stops by itself with the cause, and
// orvanta-cli exits with status 3 and says why, instead of probing on into the void.
TEST(MtrNetworkHealth, InterfaceThatDisappearsStopsTheRun) {
    if (geteuid() != 0) GTEST_SKIP() << "the test network needs root";
    struct Down {
        ~Down() { RunCommand(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1"); }
    } down;
    auto r = RunCommand(kTestnet + " up --prefix " + kPrefix + " --hops 2 2>/dev/null");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    auto env = ParseKeyValues(r.out);
    const std::string ns = env["TESTNET_CLIENT_NS"];
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    const std::string out = MakeTempDir("mtrgone");
    // The interface goes once probes are leaving through it (its transmit counter moves), and
    // the run was asked for far more cycles than it gets.
    const std::string tx = "$(cat /sys/class/net/eth0/statistics/tx_packets)";
    const std::string script = cli + " mtr " + env["TESTNET_TARGET_IP"] + " --iface eth0 --proto udp --cycles 1000 >" +
                               out + "/stdout 2>" + out + "/stderr & pid=$!; base=" + tx + "; " +
                               "until [ " + tx + " -gt $((base + 3)) ] || ! kill -0 $pid 2>/dev/null; do sleep 0.02; done; " +
                               "ip link del eth0; wait $pid; echo $?";
    auto run = RunCommand("ip netns exec " + ns + " sh -c '" + script + "'");
    EXPECT_EQ(run.out, "3\n") << "exit status of orvanta-cli";
    auto err = RunCommand("cat " + out + "/stderr");
    EXPECT_NE(err.out.find("O MTR parou. A captura parou: "), std::string::npos) << err.out;
    auto table = RunCommand("cat " + out + "/stdout");
    // What was measured before the failure is still printed.
    EXPECT_NE(table.out.find("Salto  Host/IP"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("\n    1  "), std::string::npos) << table.out;
    fs::remove_all(out);
}
