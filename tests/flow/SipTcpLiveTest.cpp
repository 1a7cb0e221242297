// SIPp calls over TCP on loopback, captured by tcpdump and read back from the savefile: every
// SIP message tshark's own TCP reassembly finds must come out of SipTcpStreams, also when the
// captured segments are cut up and handed over out of order.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PcapTestReader.h"
#include "TsharkOracle.h"
#include "flow/FlowCore.h"
#include "flow/SipParser.h"
#include "flow/TcpReassembly.h"
#include "lib/TestSupport.h"

namespace {

// Addresses and port of their own, apart from the UDP SIPp test's.
constexpr const char* kCallee = "127.0.0.4";
constexpr const char* kCaller = "127.0.0.5";
constexpr int kSipPort = 5076;
constexpr int kCalls = 20;

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// True when a socket listens on this TCP port (IPv4): state 0A in /proc/net/tcp.
bool TcpPortListening(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
    }
    return false;
}

// "INVITE", "ACK", ... for requests, the status code for responses.
std::string Label(std::string_view text) {
    SipMessage m;
    if (!ParseSipMessage(text, m)) return "unparsed";
    return m.isRequest ? m.method : std::to_string(m.statusCode);
}

std::vector<std::string> Frame(const std::vector<PacketLogEntry>& segments, SipTcpCounters* counters = nullptr) {
    SipTcpStreams streams;
    std::vector<std::string> labels;
    for (const PacketLogEntry& e : segments)
        streams.Feed(e, [&](const SipTcpMessage& m) { labels.push_back(Label(m.text)); });
    if (counters) *counters = streams.Counters();
    std::sort(labels.begin(), labels.end());
    return labels;
}

// Each segment with data cut in three, handed over last piece first, its middle twice.
std::vector<PacketLogEntry> CutAndShuffle(const std::vector<PacketLogEntry>& segments) {
    std::vector<PacketLogEntry> out;
    for (const PacketLogEntry& e : segments) {
        const std::span<const uint8_t> payload = e.Payload();
        if (payload.size() < 3 || (e.tcpFlags & 0x07)) {
            out.push_back(e);
            continue;
        }
        const size_t cut1 = payload.size() / 3, cut2 = 2 * payload.size() / 3;
        auto piece = [&](size_t from, size_t to) {
            PacketLogEntry p = e;
            p.rawData.clear();
            p.SetPayload(payload.subspan(from, to - from));
            p.tcpSeq = e.tcpSeq + static_cast<uint32_t>(from);
            return p;
        };
        out.push_back(piece(cut2, payload.size()));
        out.push_back(piece(0, cut1));
        out.push_back(piece(cut1, cut2));
        out.push_back(piece(cut1, cut2));
    }
    return out;
}

void CheckAgainstTshark(const std::string& pcap) {
    const std::vector<PacketLogEntry> segments = ReadPcapForTest(pcap);
    ASSERT_FALSE(segments.empty()) << pcap;
    const std::vector<std::string> expected = TsharkSipLabels(pcap);
    ASSERT_GE(expected.size(), size_t{kCalls} * 6);

    SipTcpCounters counters;
    EXPECT_EQ(Frame(segments, &counters), expected);
    EXPECT_EQ(counters.holes, 0u);
    EXPECT_EQ(counters.framing.skippedBytes, 0u);
    EXPECT_EQ(counters.framing.resyncs, 0u);
    EXPECT_EQ(counters.connections, 0u) << "FIN both ways ends the connection";
    EXPECT_EQ(counters.connectionsClosed, 1u);

    EXPECT_EQ(Frame(CutAndShuffle(segments), &counters), expected);
    EXPECT_EQ(counters.holes, 0u);
    EXPECT_GT(counters.retransmittedBytes, 0u);

    // The whole engine, from the savefile's frames: every call set up and hung up over TCP
    // (a BYE that shared a segment, or an SDP in a later one, is no longer lost).
    FlowCore core;
    ASSERT_TRUE(core.StartOffline(pcap));
    ASSERT_TRUE(testsupport::WaitFor([&] { return !core.IsRunning(); }, std::chrono::seconds(30)));
    core.WaitAnalysed();
    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    ASSERT_EQ(calls.size(), size_t{kCalls});
    size_t messages = 0;
    for (const SipCall& c : calls) {
        EXPECT_EQ(CallStateText(c), "Terminated") << c.callId;
        EXPECT_FALSE(c.mediaPorts.empty()) << c.callId << ": the SDP was read";
        messages += c.messages.size();
    }
    EXPECT_EQ(messages, expected.size());
    EXPECT_TRUE(core.Tracker().GetStreamReports().empty()) << "TCP bytes are never media";
}

std::string SippCommands(const std::string& callee, const std::string& caller) {
    const std::string calls = std::to_string(kCalls);
    const std::string port = std::to_string(kSipPort);
    // -t t1: one TCP connection carries every call.
    return "sipp -sn uas -t t1 -i " + callee + " -p " + port + " -m " + calls + " -nostdin -timeout 40s|" +
           "sipp -sn uac -t t1 " + callee + ":" + port + " -i " + caller + " -p 5077 -m " + calls +
           " -r 100 -nostdin -timeout 35s";
}

TEST(SipTcpLive, SippCallsOverTcpGiveTsharksMessages) {
    if (geteuid() != 0) GTEST_SKIP() << "capture on loopback needs root";
    for (const char* tool : {"sipp", "tcpdump", "tshark"})
        if (!Have(tool)) GTEST_SKIP() << tool << " is missing";
    const std::string dir = std::string(OC_BINARY_DIR) + "/flow_tcp_sipp";
    std::filesystem::create_directories(dir);
    const std::string pcap = dir + "/sip_tcp.pcap";
    std::filesystem::remove(pcap);
    // A log left by an earlier run would say "listening on" before this tcpdump does.
    std::filesystem::remove(dir + "/tcpdump.log");

    const std::string port = std::to_string(kSipPort);
    const std::string commands = SippCommands(kCallee, kCaller);
    testsupport::Child dump, uas, uac;
    // --immediate-mode: without it a TPACKET_V3 block is handed over only when full or after
    // its time-out, and a stop before that loses what it holds. -B: in immediate mode each
    // frame takes a slot of the snapshot length, eight in the default buffer.
    ASSERT_TRUE(dump.Start({"tcpdump", "-i", "lo", "--immediate-mode", "-B", "65536", "-U", "-n", "-w", pcap,
                            std::string("tcp and host ") + kCallee + " and port " + port},
                           false, dir + "/tcpdump.log", "", true));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return testsupport::ReadFile(dir + "/tcpdump.log").find("listening on") != std::string::npos; },
        std::chrono::seconds(10)))
        << "tcpdump did not start";
    ASSERT_TRUE(uas.StartShell(commands.substr(0, commands.find('|')), dir, dir + "/uas.log"));
    ASSERT_TRUE(testsupport::WaitFor([] { return TcpPortListening(kSipPort); }, std::chrono::seconds(10)))
        << "sipp uas did not listen";
    ASSERT_TRUE(uac.StartShell(commands.substr(commands.find('|') + 1), dir, dir + "/uac.log"));
    const int uacStatus = uac.Wait(std::chrono::seconds(40));
    uas.Wait(std::chrono::seconds(5));
    uas.Stop();
    // Both FINs come after every message: once tcpdump wrote them, it wrote all before.
    EXPECT_TRUE(testsupport::WaitFor([&] { return TsharkFrames(pcap, "tcp.flags.fin == 1") >= 2; }, std::chrono::seconds(30)))
        << "tcpdump did not write the connection's end";
    dump.Stop();
    EXPECT_NE(testsupport::ReadFile(dir + "/tcpdump.log").find("\n0 packets dropped by kernel"), std::string::npos);
    ASSERT_EQ(uacStatus, 0) << "see " << dir << "/uac.log";
    CheckAgainstTshark(pcap);
}

// The same calls in a network namespace whose loopback has a small MTU and sends one MSS
// per packet (gso_max_segs 1; loopback would otherwise hand over whole GSO packets): the
// stack itself splits every message over several segments.
TEST(SipTcpLive, SippMessagesSplitByTheStack) {
    if (geteuid() != 0) GTEST_SKIP() << "capture and namespaces need root";
    for (const char* tool : {"sipp", "tcpdump", "tshark", "unshare"})
        if (!Have(tool)) GTEST_SKIP() << tool << " is missing";
    const std::string dir = std::string(OC_BINARY_DIR) + "/flow_tcp_sipp_split";
    std::filesystem::create_directories(dir);
    const std::string pcap = dir + "/sip_tcp_split.pcap";
    std::filesystem::remove(pcap);
    const std::string commands = SippCommands("127.0.0.1", "127.0.0.1");
    {
        std::ofstream script(dir + "/run.sh");
        script << "ip link set lo up && ip link set lo mtu 200 && ip link set lo gso_max_segs 1 || exit 90\n"
               << "rm -f " << dir << "/tcpdump.log\n"
               << "tcpdump -i lo --immediate-mode -B 65536 -U -n -w " << pcap << " 'tcp port " << kSipPort << "' >" << dir
               << "/tcpdump.log 2>&1 & dump=$!\n"
               << "for i in $(seq 100); do grep -q 'listening on' " << dir << "/tcpdump.log && break; sleep 0.1; done\n"
               << commands.substr(0, commands.find('|')) << " >" << dir << "/uas.log 2>&1 & uas=$!\n"
               << "for i in $(seq 200); do ss -Hlnt 'sport = :" << kSipPort << "' | grep -q . && break; sleep 0.1; done\n"
               << commands.substr(commands.find('|') + 1) << " >" << dir << "/uac.log 2>&1; status=$?\n"
               // Both FINs come after every message: once tcpdump wrote them, it wrote all before.
               << "wait $uas; for i in $(seq 120); do [ $(tshark -r " << pcap
               << " -Y 'tcp.flags.fin == 1' 2>/dev/null | wc -l) -ge 2 ] && break; sleep 0.5; done\n"
               << "kill $dump; wait $dump; exit $status\n";
    }
    const auto run = testsupport::RunCommand("cd " + dir + " && unshare -n sh run.sh 2>&1");
    if (run.exitCode == 90) GTEST_SKIP() << "loopback in a namespace cannot be set up: " << run.out;
    ASSERT_EQ(run.exitCode, 0) << run.out << " (see " << dir << "/uac.log)";
    EXPECT_NE(testsupport::ReadFile(dir + "/tcpdump.log").find("\n0 packets dropped by kernel"), std::string::npos);

    size_t dataSegments = 0;
    for (const PacketLogEntry& e : ReadPcapForTest(pcap)) dataSegments += !e.Payload().empty();
    EXPECT_GT(dataSegments, 2 * TsharkSipLabels(pcap).size()) << "messages were not split";
    CheckAgainstTshark(pcap);
}

}  // namespace
