// Voice traces on real namespaced networks, through orvanta-cli: probes leave with the DSCP
// asked for (tcpdump on the client's link), a router that re-marks shows where the marking
// is lost in every protocol and over IPv6, a loss burst set mid-run is in the event log at
// the time it was set, and a fixed flow keeps a layer-4 load balancer on one path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <sstream>

#include "MtrTestUtil.h"

using namespace mtrtest;

namespace {

const std::string kTestnet = OC_TESTNET;
const std::string kLbNet = std::string(OC_SOURCE_DIR) + "/tests/mtr/lbnet.sh";
const std::string kCli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
const std::string kPrefix = "vq";

// Seconds since midnight of "HH:MM:SS".
int ClockSeconds(const std::string& hms) {
    return std::atoi(hms.substr(0, 2).c_str()) * 3600 + std::atoi(hms.substr(3, 2).c_str()) * 60 +
           std::atoi(hms.substr(6, 2).c_str());
}

bool HaveNft() { return RunCommand("nft --version >/dev/null 2>&1").exitCode == 0; }

// The hops of orvanta-cli's --json output by TTL.
std::map<int, nlohmann::json> HopsOf(const std::string& json) {
    std::map<int, nlohmann::json> hops;
    const auto doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded()) return hops;
    for (const auto& h : doc["hops"]) hops[h["ttl"].get<int>()] = h;
    return hops;
}

}  // namespace

// Three routers, IPv4 and IPv6 on every link, plain veth. Brought up once for the suite.
class MtrVoiceNet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (geteuid() != 0) return;
        auto r = RunCommand(kTestnet + " up --prefix " + kPrefix + " --hops 3 --ipv6 2>&1");
        upOutput = r.out;
        if (r.exitCode == 0) env = ParseKeyValues(r.out);
    }
    static void TearDownTestSuite() {
        if (!env.empty()) RunCommand(kTestnet + " down --prefix " + kPrefix + " >/dev/null 2>&1");
        env.clear();
    }
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the test network needs root";
        if (!HaveNft()) GTEST_SKIP() << "nft (package nftables) is needed to re-mark or drop in a router";
        ASSERT_FALSE(env.empty()) << upOutput;
    }
    static std::string Ns(const std::string& node) { return kPrefix + "-" + node; }

    static inline std::map<std::string, std::string> env;
    static inline std::string upOutput;
};

// Router 2 re-marks everything it forwards to CS0. Routers 1 and 2 receive the probes as
// they were sent, EF; router 3 and the target receive them unmarked. The target's answers
// quote the probe only for UDP (port unreachable); an echo reply or a SYN-ACK quotes nothing.
TEST_F(MtrVoiceNet, ARemarkingRouterShowsEfUpToItAndZeroAfterInEveryProtocolAndOverIpv6) {
    struct Remark {
        Remark() {
            RunCommand("ip netns exec " + Ns("r2") + " nft -f - <<'EOF'\n"
                       "table inet remark {\n"
                       "  chain f { type filter hook forward priority 0; ip dscp set cs0; ip6 dscp set cs0; }\n"
                       "}\nEOF");
        }
        ~Remark() { RunCommand("ip netns exec " + Ns("r2") + " nft delete table inet remark >/dev/null 2>&1"); }
    } remark;
    ASSERT_EQ(RunCommand("ip netns exec " + Ns("r2") + " nft list table inet remark >/dev/null").exitCode, 0);
    const std::string dir = MakeTempDir("mtrdscp");
    for (bool v6 : {false, true}) {
        for (const char* proto : {"udp", "icmp", "tcp"}) {
            SCOPED_TRACE(std::string(proto) + (v6 ? " IPv6" : " IPv4"));
            const std::string target = v6 ? env["TESTNET_TARGET_IP6"] : env["TESTNET_TARGET_IP"];
            const std::string client = v6 ? "fd00:200:1::1" : env["TESTNET_CLIENT_IP"];
            // What the client sends as probes (not the kernel's RST to a SYN-ACK).
            const std::string filter =
                v6 ? "src host " + client + " and (udp or (icmp6 and ip6[40] == 128) or (tcp and ip6[53] & 2 != 0))"
                   : "src host " + client +
                         " and ((udp and dst portrange 33434-65535) or icmp[0] == 8 or (tcp and tcp[13] & 2 != 0))";
            const std::string pcap = dir + "/" + proto + (v6 ? "6" : "4") + ".pcap";
            const auto run = RunCommand("ip netns exec " + Ns("client") + " sh -c 'tcpdump -i eth0 -nn -U -w " + pcap +
                                        " \"" + filter + "\" 2>/dev/null & p=$!; sleep 1; " + kCli + " mtr " + target +
                                        " --proto " + proto + (v6 ? " -6" : "") +
                                        " --dscp 46 --cycles 3 --json; rc=$?; sleep 0.5; kill $p; wait $p; exit $rc'");
            ASSERT_EQ(run.exitCode, 0) << run.err;
            const auto hops = HopsOf(run.out);
            ASSERT_EQ(hops.size(), 4u) << run.out;
            for (int ttl : {1, 2}) EXPECT_EQ(hops.at(ttl)["dscp"], 46) << "hop " << ttl << ": " << run.out;
            EXPECT_EQ(hops.at(3)["dscp"], 0) << run.out;
            if (std::string(proto) == "udp")
                EXPECT_EQ(hops.at(4)["dscp"], 0) << run.out;
            else
                EXPECT_TRUE(hops.at(4)["dscp"].is_null()) << run.out;
            for (const auto& [ttl, h] : hops) EXPECT_EQ(h["dscp_varied"], false) << "hop " << ttl;
            EXPECT_EQ(nlohmann::json::parse(run.out)["remarking_hop"], 3);

            // Every probe left the client marked EF (TOS / traffic class 0xb8).
            const auto dump = RunCommand("tcpdump -nn -v -r " + pcap + " 2>/dev/null");
            int probes = 0, marked = 0;
            for (const std::string& line : Lines(dump.out)) {
                // "12:00:00.000000 IP (tos 0xb8, ttl 1, ..." / "... IP6 (class 0xb8, hlim 1, ..."
                // (an unmarked IPv6 header shows no class at all).
                if (line.find(v6 ? " IP6 (" : " IP (") == std::string::npos) continue;
                ++probes;
                if (line.find(v6 ? "class 0xb8" : "tos 0xb8") != std::string::npos) ++marked;
            }
            EXPECT_GE(probes, 3 * 4) << dump.out;
            EXPECT_EQ(marked, probes) << dump.out;
        }
    }
    std::filesystem::remove_all(dir);
}

// Router 3 stops forwarding for three seconds in the middle of a run: the target (hop 4)
// reports a loss that starts and ends within 2 s of when the burst was set and lifted. The
// burst is netem's 100 % loss on router 3's link to the target where the kernel has netem,
// else an nft rule there that drops what the router forwards.
TEST_F(MtrVoiceNet, ALossBurstMidRunIsInTheEventLogWithItsStartAndEnd) {
    const std::string r3 = "ip netns exec " + Ns("r3") + " ";
    const bool netem = RunCommand(r3 + "tc qdisc add dev eth1 root netem loss 0% 2>/dev/null").exitCode == 0;
    if (netem) RunCommand(r3 + "tc qdisc del dev eth1 root");
    std::cout << "loss burst made with " << (netem ? "netem" : "nft (no sch_netem in this kernel)") << "\n";
    const std::string on = netem ? r3 + "tc qdisc add dev eth1 root netem loss 100%"
                                 : r3 + "nft add table inet burst && " + r3 +
                                       "nft add chain inet burst f \"{ type filter hook forward priority 0; }\" && " +
                                       r3 + "nft add rule inet burst f drop";
    const std::string off = netem ? r3 + "tc qdisc del dev eth1 root" : r3 + "nft delete table inet burst";
    const std::string script = "ip netns exec " + Ns("client") + " " + kCli + " mtr " + env["TESTNET_TARGET_IP"] +
                               " --cycles 14 --events > /tmp/oc-voice-burst.out & p=$!; sleep 4; " +
                               "s=$(date +%H:%M:%S); " + on + "; sleep 3; e=$(date +%H:%M:%S); " + off +
                               "; wait $p; rc=$?; cat /tmp/oc-voice-burst.out; rm -f /tmp/oc-voice-burst.out; "
                               "echo \"set=$s\"; echo \"lifted=$e\"; exit $rc";
    const auto run = RunCommand(script);
    RunCommand(off + " >/dev/null 2>&1");  // lifted even when the script stopped half-way
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    std::cout << run.out;
    const auto kv = ParseKeyValues(run.out);
    ASSERT_EQ(kv.count("set"), 1u);
    const int set = ClockSeconds(kv.at("set")), lifted = ClockSeconds(kv.at("lifted"));
    int start = -1, end = -1, others = 0;
    for (const std::string& line : Lines(run.out)) {
        if (line.rfind("event;", 0) != 0) continue;
        const std::vector<std::string> f = Fields(line);
        ASSERT_EQ(f.size(), 5u) << line;
        if (f[2] != "4") {
            ++others;
            continue;
        }
        if (f[3] == "loss_start") start = ClockSeconds(f[1]);
        if (f[3] == "loss_end") end = ClockSeconds(f[1]);
    }
    ASSERT_GE(start, 0) << run.out;
    ASSERT_GE(end, 0) << run.out;
    EXPECT_LE(std::abs(start - set), 2) << run.out;
    EXPECT_LE(std::abs(end - lifted), 2) << run.out;
    EXPECT_EQ(others, 0) << "the hops before router 3 lost nothing: " << run.out;
}

// Two routers at hop 2 behind a multipath route hashing on ports: with a fixed flow every
// UDP and TCP probe takes the same one, and all are still matched; TCP probes of the usual
// kind (a source port each) meet both, as UDP ones do (MtrLoadBalanced).
TEST(MtrFixedFlow, OneResponderPerHopBehindALayer4LoadBalancer) {
    if (geteuid() != 0) GTEST_SKIP() << "namespaces need root";
    struct Down {
        ~Down() { RunCommand(kLbNet + " down vlb >/dev/null 2>&1"); }
    } down;
    auto up = RunCommand(kLbNet + " up vlb 2>&1");
    ASSERT_EQ(up.exitCode, 0) << up.out;
    constexpr int kCycles = 12;
    auto trace = [&](const std::string& options) {
        auto r = RunCommand("ip netns exec vlb-client " + kCli + " mtr 10.201.9.1 --cycles " + std::to_string(kCycles) +
                            " --json " + options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return HopsOf(r.out);
    };
    for (const char* proto : {"udp", "tcp", "icmp"}) {
        SCOPED_TRACE(proto);
        const auto hops = trace(std::string("--fixed-flow --proto ") + proto);
        ASSERT_EQ(hops.size(), 3u);
        for (const auto& [ttl, h] : hops) {
            EXPECT_EQ(h["responders"].size(), 1u) << "hop " << ttl << ": " << h.dump();
            EXPECT_EQ(h["received"], kCycles) << "hop " << ttl << ": every probe matched";
        }
    }
    const auto spread = trace("--proto tcp");
    ASSERT_EQ(spread.size(), 3u);
    EXPECT_EQ(spread.at(2)["responders"].size(), 2u) << spread.at(2).dump();
}
