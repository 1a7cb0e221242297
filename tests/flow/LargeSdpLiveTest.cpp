// SIPp calls with large SDP bodies (many codecs, ICE candidates) between two network
// namespaces joined by links of small MTU, captured live by FlowCore on the callee's end. Over
// UDP the sending kernel fragments the INVITE and its 200 OK (IPv4 at MTU 576, IPv6 at 1280);
// over TCP the stack cuts them into segments. The m=audio lines lie past the first fragment
// and the audio runs between media addresses that only the SDP names, so a call has its RTP
// streams only when its messages were put together whole. tcpdump on the same link, read by
// tshark with its reassembly on, is the oracle. Last, such a SIP-over-TCP capture replayed by
// tcpreplay at top speed into a veth gives the live engine the calls `orvanta-cli flow
// --read` finds in the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TsharkOracle.h"
#include "flow/FlowCore.h"
#include "flow/FlowCsv.h"
#include "lib/Netns.h"
#include "lib/Sipp.h"
#include "lib/TestSupport.h"
#include "ui/EngineTexts.h"

namespace {

using namespace std::chrono_literals;
using netns::Shell;

const std::string kAudio = std::string(sipp::kAudioDir) + "/g711a.pcap";
constexpr int kCallerRtp = 18000;
constexpr int kCalleeRtp = 16000;

// One address family over FragmentingLink: the SIP addresses are the link's, the media
// addresses are added beside them.
struct Family {
    const char* name;
    const char* device;      // the callee's end (namespace b), where the captures run
    const char* peerDevice;  // the caller's end (namespace a)
    const char* caller;
    const char* callee;
    const char* callerMedia;
    const char* calleeMedia;
    const char* prefix;          // of the media addresses
    size_t firstFragmentSip;     // SIP bytes in a first fragment (after the UDP header)
    // "address:port", the address in brackets for IPv6.
    std::string Media(const char* address, int port) const {
        return std::string(name) == "IPv6" ? "[" + std::string(address) + "]:" + std::to_string(port)
                                           : std::string(address) + ":" + std::to_string(port);
    }
    std::string Target() const { return Media(callee, 5060); }
};
const Family kIpv4{"IPv4", "v4b", "v4a", "10.231.0.1", "10.231.0.2", "10.231.0.11", "10.231.0.12", "/24",
                   544};  // (576 - 20) rounded down to 8, less 8

const Family kIpv6{"IPv6", "v6b", "v6a", "fd00:231::1", "fd00:231::2", "fd00:231::11", "fd00:231::12", "/64 nodad",
                   1224};  // 1280 - 40 - 8 (Fragment header), less 8

// The media port and the RTCP port after it, for the scenarios' SDP.
std::string Ports(int rtp) {
    return " -mp " + std::to_string(rtp) + " -set rtp " + std::to_string(rtp) + " -set rtcp " + std::to_string(rtp + 1);
}

bool Have(const char* tool) { return Shell(std::string("command -v ") + tool) == 0; }

std::string Label(const SipMessage& m) { return m.isRequest ? m.method : std::to_string(m.statusCode); }

std::vector<std::string> SipLabels(const std::vector<SipCall>& calls) {
    std::vector<std::string> labels;
    for (const SipCall& c : calls)
        for (const SipMessage& m : c.messages)
            if (m.type != SipMsgType::Rtp) labels.push_back(Label(m));
    std::sort(labels.begin(), labels.end());
    return labels;
}

// RTP packets the calls' flow entries counted from `source`.
uint64_t RtpFrom(const std::vector<SipCall>& calls, const std::string& source) {
    uint64_t n = 0;
    for (const SipCall& c : calls)
        for (const SipMessage& m : c.messages)
            if (m.type == SipMsgType::Rtp && m.sourceIp == source) n += m.count;
    return n;
}

class LargeSdpPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces and live capture)";
        if (Shell("ip netns list") != 0) GTEST_SKIP() << "the ip tool cannot manage network namespaces here";
        for (const char* tool : {"sipp", "tcpdump", "tshark", "ping"})
            if (!Have(tool)) GTEST_SKIP() << tool << " is missing (scripts/deps.sh test installs it)";
        if (!std::filesystem::exists(kAudio)) GTEST_SKIP() << kAudio << " is missing (Debian sip-tester)";
        link = std::make_unique<netns::FragmentingLink>("ocsd");
        ASSERT_TRUE(link->ok) << "could not build the namespaces";
        for (const Family* f : {&kIpv4, &kIpv6}) {
            ASSERT_EQ(Shell("ip -n " + link->a + " addr add " + f->callerMedia + f->prefix + " dev " + f->peerDevice), 0);
            ASSERT_EQ(Shell("ip -n " + link->b + " addr add " + f->calleeMedia + f->prefix + " dev " + f->device), 0);
            // One MSS per packet: a veth would otherwise hand whole GSO packets to the capture.
            ASSERT_EQ(Shell("ip -n " + link->a + " link set " + f->peerDevice + " gso_max_segs 1"), 0);
            ASSERT_EQ(Shell("ip -n " + link->b + " link set " + f->device + " gso_max_segs 1"), 0);
        }
        dir = std::string(OC_BINARY_DIR) + "/flow_large_sdp";
        std::filesystem::create_directories(dir);
    }

    // `calls` SIPp calls over `transport` ("u1" or "t1"), one at a time, captured by tcpdump
    // into `pcap` and, when given, live by `core` in the callee's namespace (left running).
    void RunCalls(const Family& f, const std::string& transport, int calls, const std::string& pcap, FlowCore* core) {
        std::filesystem::remove(pcap);
        netns::Tcpdump dump(link->b, f.device, pcap, pcap + ".log");
        ASSERT_TRUE(dump.listening) << "tcpdump did not start: " << dump.said;
        if (core) {
            ASSERT_TRUE(netns::InNamespace(link->b, [&] { return core->Start(f.device, 5060, 10000, 50000); }))
                << StartErrorText(core->LastStartError()) << " " << core->LastStartErrorDetail();
        }
        const std::string scenarios = std::string(OC_SOURCE_DIR) + "/tests/flow/sipp/";
        const std::string common = " -t " + transport + " -p 5060 -m " + std::to_string(calls) + " -nostdin -timeout 90s";
        testsupport::Child uas, uac;
        ASSERT_TRUE(sipp::StartCallee(uas, link->b,
                                      "-sf " + scenarios + "uas_large_sdp.xml -i " + f.callee + " -mi " + f.calleeMedia +
                                          Ports(kCalleeRtp) + " -rtp_echo" + common,
                                      5060, dir, dir + "/uas.log"))
            << "sipp uas did not listen (see " << dir << "/uas.log)";
        // -l 1: one call at a time, so every call's media has the same ports.
        ASSERT_TRUE(sipp::StartCaller(uac, link->a,
                                      "-sf " + scenarios + "uac_large_sdp.xml " + f.Target() + " -i " + f.caller +
                                          " -mi " + f.callerMedia + Ports(kCallerRtp) + " -l 1" + common,
                                      dir, dir + "/uac.log"));
        EXPECT_EQ(uac.Wait(120s), 0) << "see " << dir << "/uac.log";
        EXPECT_EQ(uas.Wait(30s), 0) << "see " << dir << "/uas.log";
        // The calls are over. A ping through the link marks the end of tcpdump's file.
        ASSERT_EQ(Shell("ip netns exec " + link->a + " ping -c 1 -W 10 " + f.callee), 0);
        ASSERT_TRUE(testsupport::WaitFor([&] { return TsharkFrames(pcap, "icmp.type == 0 or icmpv6.type == 129") > 0; }, 30s))
            << "tcpdump did not write the ping's reply";
        dump.Stop();
        EXPECT_TRUE(dump.DroppedNone()) << dump.said;
    }

    // What the live engine found against what tshark reads in tcpdump's file of the same link.
    void CheckCalls(const Family& f, FlowCore& core, const std::string& pcap, int calls, bool tcp) {
        const std::vector<std::string> expected = TsharkSipLabels(pcap);
        ASSERT_GE(expected.size(), size_t(6 * calls)) << "INVITE, 180, 200, ACK, BYE, 200 per call";
        const size_t forward = TsharkFrames(pcap, "udp.srcport == 18000 and udp.dstport == 16000");
        const size_t back = TsharkFrames(pcap, "udp.srcport == 16000 and udp.dstport == 18000");
        EXPECT_GT(forward, 0u);
        EXPECT_GT(back, 0u) << "the callee echoes the caller's audio";
        // Every frame reached tcpdump before its reply to the ping; the engine gets there too.
        const bool caughtUp = testsupport::WaitFor([&] {
            const std::vector<SipCall> now = core.Tracker().GetCalls();
            return SipLabels(now) == expected && RtpFrom(now, f.callerMedia) == forward &&
                   RtpFrom(now, f.calleeMedia) == back;
        }, 30s);
        core.Stop();
        core.WaitAnalysed();
        EXPECT_TRUE(caughtUp);

        const std::vector<SipCall> found = core.Tracker().GetCalls();
        ASSERT_EQ(found.size(), size_t(calls));
        EXPECT_EQ(SipLabels(found), expected);
        EXPECT_EQ(RtpFrom(found, f.callerMedia), forward);
        EXPECT_EQ(RtpFrom(found, f.calleeMedia), back);
        for (const SipCall& c : found) {
            SCOPED_TRACE(c.callId);
            EXPECT_TRUE(c.isInvite);
            EXPECT_EQ(c.callerIp, f.caller);
            EXPECT_EQ(c.calleeIp, f.callee);
            EXPECT_EQ(CallStateText(c), "Terminated");
            EXPECT_EQ(DisplayStatus(c), "Desligada");
            // Both SDP bodies were read whole: the offer's and the answer's audio endpoints.
            std::vector<int32_t> ports = c.mediaPorts;  // a retransmission reads its SDP again
            ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
            EXPECT_EQ(ports, (std::vector<int32_t>{kCallerRtp, kCalleeRtp}));
            ASSERT_TRUE(c.offerMedia.has_value());
            ASSERT_TRUE(c.answerMedia.has_value());
            EXPECT_EQ(c.offerMedia->Text(), f.Media(f.callerMedia, kCallerRtp));
            EXPECT_EQ(c.answerMedia->Text(), f.Media(f.calleeMedia, kCalleeRtp));
            for (const SipMessage& m : c.messages) {
                if (m.type == SipMsgType::Rtp || m.text.find("Content-Type: application/sdp") == std::string::npos) continue;
                // The test's premise: m=audio past the first fragment. The message view has it all.
                EXPECT_GT(m.text.find("m=audio"), f.firstFragmentSip) << Label(m);
                EXPECT_NE(m.text.find("a=sendrecv"), std::string::npos) << Label(m) << ": the body's last line";
            }
            // Its two RTP streams, found only by what the SDP announced.
            std::vector<std::string> flows;
            for (const SipMessage& m : c.messages) {
                if (m.type != SipMsgType::Rtp) continue;
                flows.push_back(m.sourceIp + " -> " + m.destinationIp);
                EXPECT_EQ(m.codec, "G711a") << m.text;
                EXPECT_GT(m.count, 0u) << m.text;
            }
            std::sort(flows.begin(), flows.end());
            EXPECT_EQ(flows, (std::vector<std::string>{std::string(f.callerMedia) + " -> " + f.calleeMedia,
                                                       std::string(f.calleeMedia) + " -> " + f.callerMedia}));
            // And their reports, each with this call's packets only: SIPp plays the same
            // recording (one SSRC, the same sequence numbers) in every call, from the same ports.
            const std::vector<RtpStreamReport> reports = core.Tracker().GetStreamReports(&c.callId);
            ASSERT_EQ(reports.size(), 2u);
            for (const RtpStreamReport& r : reports) {
                SCOPED_TRACE(r.source);
                EXPECT_EQ(r.codec, "G711a");
                EXPECT_EQ(r.packets, RtpFrom({c}, r.src.address.Text()));
                EXPECT_EQ(r.lost, 0);
                EXPECT_EQ(r.duplicates, 0u);
                EXPECT_TRUE(r.mosAdaptive.has_value());
            }
        }

        const FlowEngineCounters n = core.Counters();
        EXPECT_EQ(n.kernelDropped, 0u);
        EXPECT_EQ(n.trimmedUnanalysed, 0u);
        EXPECT_EQ(n.fragmentsIncomplete + n.fragmentsOverlap + n.fragmentsOverBounds + n.fragmentsUnusable, 0u);
        EXPECT_EQ(n.datagramsReassembled, TsharkFrames(pcap, "ip.fragments or ipv6.fragments"));
        if (tcp) {
            EXPECT_EQ(n.datagramsReassembled, 0u);
            EXPECT_GT(TsharkFrames(pcap, "tcp.len > 0"), 2 * expected.size()) << "the stack did not split the messages";
            EXPECT_EQ(core.Tracker().TcpCounters().holes, 0u);
        } else {
            EXPECT_GE(n.datagramsReassembled, size_t(2 * calls)) << "each INVITE and its 200 OK came in fragments";
        }
    }

    std::unique_ptr<netns::FragmentingLink> link;
    std::string dir;
};

TEST_F(LargeSdpPeers, UdpCallsFragmentedByTheKernel) {
    for (const Family* f : {&kIpv4, &kIpv6}) {
        SCOPED_TRACE(f->name);
        const std::string pcap = dir + "/udp_" + f->name + ".pcap";
        FlowCore core;
        RunCalls(*f, "u1", 1, pcap, &core);
        if (HasFatalFailure()) return;
        CheckCalls(*f, core, pcap, 1, false);
        if (HasFatalFailure()) return;
    }
}

TEST_F(LargeSdpPeers, TcpCallsSplitIntoSmallSegments) {
    const std::string pcap = dir + "/tcp_IPv4.pcap";
    FlowCore core;
    RunCalls(kIpv4, "t1", 2, pcap, &core);
    if (HasFatalFailure()) return;
    CheckCalls(kIpv4, core, pcap, 2, true);
}

// The call list and RTP flow entries of orvanta-cli's output without the time column, which
// a replay changes.
std::vector<std::string> CliCallsWithoutTime(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    int section = 0;  // 1: calls, 2: RTP flow entries
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("Hora;", 0) == 0 || line.rfind("Call-ID;", 0) == 0) {
            ++section;
            continue;
        }
        if (line.empty() || line.rfind("Chamadas:", 0) == 0) continue;
        if (section == 1) lines.push_back(line.substr(line.find(';') + 1));
        if (section == 2) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> CallsWithoutTime(const std::vector<SipCall>& calls) {
    std::vector<std::string> lines;
    for (const SipCall& c : calls) {
        std::string line = CallCsvLine(c);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        lines.push_back(line.substr(line.find(';') + 1));
    }
    for (const SipCall& c : calls)
        for (const SipMessage& m : c.messages)
            if (m.type == SipMsgType::Rtp)
                lines.push_back(c.callId + ";" + m.sourceIp + " -> " + m.destinationIp + ";" + m.codec + ";" +
                                std::to_string(m.count));
    return lines;
}

// The number after `name` in tcpreplay's summary; -1 when it is not there.
uint64_t Count(const std::string& text, const std::string& name) {
    const size_t at = text.find(name);
    return at == std::string::npos ? ~uint64_t{0} : std::strtoull(text.c_str() + at + name.size(), nullptr, 10);
}

// A namespace holding both ends of a veth pair: tcpreplay sends into "rptx", the capture reads
// "rprx". Removed by name at the end.
struct ReplayNamespace {
    const std::string name = "ocrp" + std::to_string(::getpid() % 100000);
    bool ok = Shell("ip netns add " + name) == 0 && Shell("ip -n " + name + " link add rptx type veth peer name rprx") == 0 &&
              Shell("ip -n " + name + " link set rptx up") == 0 && Shell("ip -n " + name + " link set rprx up") == 0;
    ~ReplayNamespace() { Shell("ip netns del " + name); }
};

TEST_F(LargeSdpPeers, TcpCaptureReplayedAtTopSpeedGivesTheCallsOfTheFile) {
    if (!Have("tcpreplay")) GTEST_SKIP() << "tcpreplay is missing (scripts/deps.sh test installs it)";
    const std::string cli = std::string(OC_BINARY_DIR) + "/src/cli/orvanta-cli";
    const std::string pcap = dir + "/tcp_replay.pcap";
    RunCalls(kIpv4, "t1", 3, pcap, nullptr);
    if (HasFatalFailure()) return;

    const auto read = testsupport::RunCommand("'" + cli + "' flow --read " + pcap);
    ASSERT_EQ(read.exitCode, 0) << read.err;
    const std::vector<std::string> expected = CliCallsWithoutTime(read.out);
    ASSERT_EQ(expected.size(), 3u + 3u * 2u) << read.out;  // three calls, two RTP flow entries each

    ReplayNamespace ns;
    ASSERT_TRUE(ns.ok) << "could not build the replay namespace";
    FlowCore core;
    ASSERT_TRUE(netns::InNamespace(ns.name, [&] { return core.Start("rprx", 5060, 10000, 50000); }))
        << StartErrorText(core.LastStartError()) << " " << core.LastStartErrorDetail();
    const auto replay = testsupport::RunCommand("ip netns exec " + ns.name + " tcpreplay -i rptx --topspeed " + pcap + " 2>&1");
    ASSERT_EQ(replay.exitCode, 0) << replay.out;
    EXPECT_EQ(Count(replay.out, "Successful packets:"), TsharkFrames(pcap, "frame")) << replay.out;
    EXPECT_EQ(Count(replay.out, "Failed packets:"), 0u) << replay.out;

    const bool caughtUp =
        testsupport::WaitFor([&] { return CallsWithoutTime(core.Tracker().GetCalls()) == expected; }, 30s);
    core.Stop();
    core.WaitAnalysed();
    EXPECT_TRUE(caughtUp);
    const std::vector<SipCall> calls = core.Tracker().GetCalls();
    EXPECT_EQ(CallsWithoutTime(calls), expected);
    EXPECT_EQ(SipLabels(calls), TsharkSipLabels(pcap));
    for (const SipCall& c : calls) EXPECT_EQ(CallStateText(c), "Terminated") << c.callId;
    EXPECT_EQ(core.Counters().kernelDropped, 0u);
    EXPECT_EQ(core.Counters().trimmedUnanalysed, 0u);
    EXPECT_EQ(core.Tracker().TcpCounters().holes, 0u);
}

}  // namespace
