// The verdicts on calls and registrations between real peers: SIPp as caller and callee in two
// network namespaces joined by a veth pair, one fault per scenario (busy, refused codec, an
// answer without a common format, a 200 OK never acknowledged, no answer, 408, a cancel,
// registrations that loop on the challenge or are refused, audio one way or none, media
// elsewhere than announced, audio through a link too slow for it). tcpdump on the callee's
// end writes each scenario's capture; the engine reads it back as orvanta-cli flow --read
// does, and a live engine on the same link must reach the same codes. tshark counts what the
// figures are checked against. The captures stay in the build folder (flow_diag_peers/): the
// ones in tests/data/diag were made by this test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PcapTestReader.h"
#include "TsharkOracle.h"
#include "flow/FlowCore.h"
#include "lib/Netns.h"
#include "lib/Sipp.h"
#include "lib/TestSupport.h"
#include "ui/DiagnosisTexts.h"
#include "ui/EngineTexts.h"

namespace {

using namespace std::chrono_literals;
using netns::Shell;

// Both ends have a "public" address (TEST-NET-2) and a private one on the same link.
constexpr const char* kCaller = "198.51.100.1";
constexpr const char* kCallee = "198.51.100.2";
constexpr const char* kCallerPrivate = "10.232.0.1";
constexpr int kCallerRtp = 18000;
constexpr int kCalleeRtp = 16000;
// 80 packets of the package's PCMA recording, 30 ms apart: 2.37 s of audio.
constexpr int kAudioPackets = 80;

// ---- Scenario pieces. SIPp strips each line's leading blanks and fills in the [keywords].

std::string Send(const std::string& message, bool retransmit = true) {
    return std::string("<send") + (retransmit ? " retrans=\"500\"" : "") + "><![CDATA[\n" + message + "\n]]></send>\n";
}

std::string Recv(const std::string& what, const std::string& extra = "") {
    return "<recv " + what + extra + "/>\n";
}

std::string Request(const std::string& method, int cseq, const std::string& headers = "",
                    const std::string& body = "") {
    const bool reg = method == "REGISTER";
    const std::string uri = reg ? "sip:[remote_ip]:[remote_port]" : "sip:[service]@[remote_ip]:[remote_port]";
    // Requests inside the dialog carry the callee's To tag.
    const bool inDialog = !reg && method != "INVITE" && method != "CANCEL";
    return method + " " + uri + " SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: <sip:1001@" + std::string(reg ? "[remote_ip]" : "[local_ip]") + ">;tag=[pid]SIPpTag00[call_number]\n"
           "To: <" + (reg ? "sip:1001@[remote_ip]" : uri) + ">" + (inDialog ? "[peer_tag_param]" : "") + "\n"
           "Call-ID: [call_id]\n"
           "CSeq: " + std::to_string(cseq) + " " + method + "\n"
           "Contact: <sip:1001@[local_ip]:[local_port];transport=[transport]>\n"
           "Max-Forwards: 70\n" + headers +
           "Content-Length: [len]\n\n" + body;
}

// `cseq`: the CSeq line, when not that of the request answered (a 487 after a CANCEL).
std::string Response(const std::string& status, const std::string& headers = "", const std::string& body = "",
                     const std::string& cseq = "[last_CSeq:]") {
    return "SIP/2.0 " + status + "\n"
           "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n" + cseq + "\n"
           "Contact: <sip:[local_ip]:[local_port];transport=[transport]>\n" + headers +
           "Content-Length: [len]\n\n" + body;
}

std::string Sdp(const std::string& port, const std::string& formats) {
    std::string s = "v=0\no=peer 1 1 IN IP[local_ip_type] [local_ip]\ns=-\nc=IN IP[media_ip_type] [media_ip]\nt=0 0\n"
                    "m=audio " + port + " RTP/AVP " + formats + "\n";
    if (formats.find('8') != std::string::npos) s += "a=rtpmap:8 PCMA/8000\n";
    if (formats.find("101") != std::string::npos) s += "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\n";
    if (formats.find("18") != std::string::npos) s += "a=rtpmap:18 G729/8000\n";
    return s;
}
const std::string kSdpType = "Content-Type: application/sdp\n";

std::string Invite(const std::string& port = "[media_port]") {
    return Send(Request("INVITE", 1, kSdpType, Sdp(port, "8 101")));
}
std::string Ack() { return Send(Request("ACK", 1), false); }
std::string Bye() { return Send(Request("BYE", 2)) + Recv("response=\"200\""); }
std::string Pause(int ms) { return "<pause milliseconds=\"" + std::to_string(ms) + "\"/>\n"; }
std::string Play(const std::string& recording) {
    return "<nop><action><exec play_pcap_audio=\"" + recording + "\"/></action></nop>\n";
}
std::string Scenario(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"diag\">\n" + body + "</scenario>\n";
}

// The callee's half of an answered call: 180, the 200 with `formats`, the ACK, then `media`
// (its own audio, or nothing) until the caller's BYE.
std::string AnsweringCallee(const std::string& media = "", const std::string& formats = "8 101") {
    return Recv("request=\"INVITE\"") + Send(Response("180 Ringing"), false) +
           Send(Response("200 OK", kSdpType, Sdp("[media_port]", formats))) + Recv("request=\"ACK\"") + media +
           Recv("request=\"BYE\"") + Send(Response("200 OK"), false);
}
// The caller's half: INVITE, answer, ACK, `media`, BYE.
std::string AnsweredCaller(const std::string& media, const std::string& offerPort = "[media_port]") {
    return Invite(offerPort) + Recv("response=\"100\"", " optional=\"true\"") +
           Recv("response=\"180\"", " optional=\"true\"") + Recv("response=\"200\"", " rrs=\"true\"") + Ack() + media +
           Bye();
}
// A caller whose INVITE gets `code` as its final response.
std::string RefusedCaller(int code) {
    return Invite() + Recv("response=\"100\"", " optional=\"true\"") + Recv("response=\"" + std::to_string(code) + "\"") +
           Ack();
}
std::string RefusingCallee(const std::string& status, const std::string& headers = "") {
    return Recv("request=\"INVITE\"") + Send(Response("100 Trying"), false) + Send(Response(status, headers)) +
           Recv("request=\"ACK\"");
}

// A REGISTER with credentials once challenged: `challenges` 401s before `final`.
std::string Registering(int challenges, int finalCode) {
    std::string s = Send(Request("REGISTER", 1, "Expires: 300\n"));
    for (int i = 0; i < challenges; ++i)
        s += Recv("response=\"401\"", " auth=\"true\"") +
             Send(Request("REGISTER", 2 + i, "Expires: 300\n[authentication username=1001 password=segredo]\n"));
    return s + Recv("response=\"" + std::to_string(finalCode) + "\"");
}
std::string Challenge(int n) {
    return "WWW-Authenticate: Digest realm=\"diag.test\", nonce=\"5e1f0c" + std::to_string(n) + "\", algorithm=MD5\n";
}
std::string Registrar(int challenges, const std::string& finalStatus) {
    std::string s;
    for (int i = 0; i < challenges; ++i)
        s += Recv("request=\"REGISTER\"") + Send(Response("401 Unauthorized", Challenge(i)), false);
    const std::string headers = finalStatus.starts_with("401") ? Challenge(challenges)
                                : finalStatus.starts_with("2") ? "Expires: 300\n"
                                                                : "";
    return s + Recv("request=\"REGISTER\"") + Send(Response(finalStatus, headers), false);
}

// True once tcpdump's file holds the reply to the ping that closes a scenario (read here, not
// by tshark: it is looked for many times a scenario).
bool HasEchoReply(const std::string& pcap) {
    for (const PacketLogEntry& e : ReadPcapForTest(pcap)) {
        const std::span<const uint8_t> icmp = e.Payload();
        if (e.ipProtocol == 1 && !icmp.empty() && icmp[0] == 0) return true;
    }
    return false;
}

// ---- One scenario: what each peer runs and what the engine must say.

struct Observed {
    SipCall record;
    std::vector<Verdict> verdicts;
    std::vector<RtpStreamReport> streams;
    std::string pcap;

    // The first verdict with `code`; with `from`, the one about the stream from there.
    const Verdict* Find(Diagnosis code, const std::string& from = "") const {
        for (const Verdict& v : verdicts)
            if (v.code == code && (from.empty() || v.from.Text() == from)) return &v;
        return nullptr;
    }
    // The stream from `address:port`.
    const RtpStreamReport* StreamFrom(const std::string& address, int port) const {
        for (const RtpStreamReport& s : streams)
            if (s.src.address.Text() == address && s.src.port == port && s.payloadType == 8) return &s;
        return nullptr;
    }
};

struct PeerCase {
    std::string name;  // the capture's file name
    std::string caller, callee;  // scenario bodies
    std::string codes;  // what --diagnose's column must say
    std::function<void(const Observed&)> check = [](const Observed&) {};
    std::string transport = "u1";
    std::string callerMedia = kCaller;  // -mi of the caller
    bool lossy = false;  // the caller's RTP leaves through a link too slow for it
    int peerStatus = 0;  // SIPp's exit status: 1 when its call timed out, as the scenario wants
};

// Two namespaces joined by one veth pair (dga in a, dgb in b), removed by name at the end.
struct PeerLink {
    const std::string a = "ocdga" + std::to_string(::getpid() % 100000);
    const std::string b = "ocdgb" + std::to_string(::getpid() % 100000);
    bool ok = Shell("ip netns add " + a) == 0 && Shell("ip netns add " + b) == 0 &&
              Shell("ip -n " + a + " link add dga type veth peer name dgb netns " + b) == 0 &&
              Shell("ip -n " + a + " link set dga up") == 0 && Shell("ip -n " + b + " link set dgb up") == 0 &&
              Shell("ip -n " + a + " link set lo up") == 0 && Shell("ip -n " + b + " link set lo up") == 0 &&
              Shell("ip -n " + a + " addr add " + kCaller + "/24 dev dga") == 0 &&
              Shell("ip -n " + b + " addr add " + kCallee + "/24 dev dgb") == 0 &&
              Shell("ip -n " + a + " addr add " + kCallerPrivate + "/24 dev dga") == 0 &&
              Shell("ip -n " + b + " addr add 10.232.0.2/24 dev dgb") == 0;
    ~PeerLink() {
        Shell("ip netns del " + a);
        Shell("ip netns del " + b);
    }
};

class DiagnosisPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces, tcpdump and live capture)";
        if (Shell("ip netns list") != 0) GTEST_SKIP() << "the ip tool cannot manage network namespaces here";
        if (!sipp::Installed()) GTEST_SKIP() << "sipp is missing (Debian sip-tester)";
        for (const char* tool : {"tcpdump", "tshark", "editcap", "ping", "tc", "ss"})
            if (Shell(std::string("command -v ") + tool) != 0) GTEST_SKIP() << tool << " is missing";
        dir = std::string(OC_BINARY_DIR) + "/flow_diag_peers";
        std::filesystem::create_directories(dir);
        // A short piece of the recording keeps each call to about three seconds.
        audio = dir + "/g711a_short.pcap";
        ASSERT_EQ(Shell("editcap -r " + std::string(sipp::kAudioDir) + "/g711a.pcap " + audio + " 1-" +
                        std::to_string(kAudioPackets)),
                  0);
        dtmf = std::string(sipp::kAudioDir) + "/dtmf_2833_1.pcap";
        link = std::make_unique<PeerLink>();
        ASSERT_TRUE(link->ok) << "could not build the namespaces";
    }

    // Runs one scenario and reads its capture; the live engine's codes are compared on the way.
    Observed Run(const PeerCase& c) {
        Observed o;
        o.pcap = dir + "/" + c.name + ".pcap";
        std::filesystem::remove(o.pcap);
        if (c.lossy) {
            // The caller's RTP (to the callee's media port) leaves through a class of 64 kbit/s
            // with a queue of three packets: the 78 kbit/s of PCMA in 30 ms frames overflow it,
            // as on a saturated uplink. Everything else passes unshaped.
            const std::string tc = "ip netns exec " + link->a + " tc ";
            EXPECT_EQ(Shell(tc + "qdisc add dev dga root handle 1: htb default 10"), 0);
            EXPECT_EQ(Shell(tc + "class add dev dga parent 1: classid 1:10 htb rate 100mbit"), 0);
            EXPECT_EQ(Shell(tc + "class add dev dga parent 1: classid 1:20 htb rate 64kbit ceil 64kbit burst 1600"), 0);
            EXPECT_EQ(Shell(tc + "qdisc add dev dga parent 1:20 pfifo limit 3"), 0);
            EXPECT_EQ(Shell(tc + "filter add dev dga parent 1: protocol ip u32 match ip protocol 17 0xff match ip dport " +
                            std::to_string(kCalleeRtp) + " 0xffff flowid 1:20"),
                      0);
        }
        FlowCore live;
        {
            netns::Tcpdump dump(link->b, "dgb", o.pcap, o.pcap + ".log");
            EXPECT_TRUE(dump.listening) << "tcpdump did not start: " << dump.said;
            EXPECT_TRUE(netns::InNamespace(link->b, [&] { return live.Start("dgb", 5060, 10000, 50000); }))
                << StartErrorText(live.LastStartError());
            const std::string scenarioDir = dir + "/" + c.name;
            std::filesystem::create_directories(scenarioDir);
            testsupport::WriteFile(scenarioDir + "/uac.xml", Scenario(c.caller));
            testsupport::WriteFile(scenarioDir + "/uas.xml", Scenario(c.callee));
            const std::string common = " -t " + c.transport + " -p 5060 -m 1 -nostdin -timeout 30s -max_recv_loops 100";
            testsupport::Child uas, uac;
            EXPECT_TRUE(sipp::StartCallee(uas, link->b,
                                          "-sf uas.xml -i " + std::string(kCallee) + " -mi " + kCallee + " -mp " +
                                              std::to_string(kCalleeRtp) + common,
                                          5060, scenarioDir, scenarioDir + "/uas.log"))
                << "sipp uas did not listen (see " << scenarioDir << "/uas.log)";
            EXPECT_TRUE(sipp::StartCaller(uac, link->a,
                                          "-sf uac.xml " + std::string(kCallee) + ":5060 -s 2001 -i " + kCaller +
                                              " -mi " + c.callerMedia + " -mp " + std::to_string(kCallerRtp) + common,
                                          scenarioDir, scenarioDir + "/uac.log"));
            EXPECT_EQ(uac.Wait(40s), c.peerStatus) << "see " << scenarioDir << "/uac.log";
            EXPECT_EQ(uas.Wait(20s), c.peerStatus) << "see " << scenarioDir << "/uas.log";
            // A ping through the link marks the end of tcpdump's file.
            EXPECT_EQ(Shell("ip netns exec " + link->a + " ping -c 1 -W 10 " + kCallee), 0);
            EXPECT_TRUE(testsupport::WaitFor([&] { return HasEchoReply(o.pcap); }, 30s))
                << "tcpdump did not write the ping's reply";
            dump.Stop();
            EXPECT_TRUE(dump.DroppedNone()) << dump.said;
        }
        if (c.lossy) Shell("ip netns exec " + link->a + " tc qdisc del dev dga root");

        FlowCore offline;
        EXPECT_TRUE(offline.StartOffline(o.pcap)) << StartErrorText(offline.LastStartError());
        testsupport::WaitFor([&] { return !offline.IsRunning(); }, 30s);
        offline.Stop();
        offline.WaitAnalysed();
        const std::vector<SipCall> records = offline.Tracker().GetCalls();
        EXPECT_EQ(records.size(), 1u) << "one call or registration per scenario";
        if (records.empty()) return o;
        o.record = records.front();
        o.verdicts = offline.Tracker().Diagnose(o.record.callId);
        o.streams = offline.Tracker().GetStreamReports(&o.record.callId);

        // The live engine saw the same packets on the same link.
        const std::string id = o.record.callId;
        const std::string codes = DiagnosisCodes(o.verdicts);
        const bool same = testsupport::WaitFor([&] { return DiagnosisCodes(live.Tracker().Diagnose(id)) == codes; }, 10s);
        live.Stop();
        live.WaitAnalysed();
        EXPECT_TRUE(same) << "live: " << DiagnosisCodes(live.Tracker().Diagnose(id)) << "; read back: " << codes;
        EXPECT_EQ(live.Counters().kernelDropped, 0u);
        return o;
    }

    void RunAll(const std::vector<PeerCase>& cases) {
        for (const PeerCase& c : cases) {
            SCOPED_TRACE(c.name);
            const Observed o = Run(c);
            EXPECT_EQ(DiagnosisCodes(o.verdicts), c.codes)
                << DiagnosisLine(o.record.callId, o.verdicts);
            // Every verdict has its evidence in words.
            for (const Verdict& v : o.verdicts) {
                if (v.code == Diagnosis::Ok) continue;
                EXPECT_FALSE(VerdictEvidence(v).empty()) << DiagnosisCode(v.code);
            }
            c.check(o);
        }
    }

    std::unique_ptr<PeerLink> link;
    std::string dir, audio, dtmf;
};

// SIP frames tshark finds for a display filter in the scenario's capture.
size_t Frames(const Observed& o, const std::string& filter) { return TsharkFrames(o.pcap, filter); }

// Calls that end before any audio: refused, unanswered, cancelled, never acknowledged.
TEST_F(DiagnosisPeers, CallsThatFailInTheSignalling) {
    const std::string reason = "Reason: Q.850;cause=17;text=\"User busy\"\n";
    std::vector<PeerCase> cases;
    cases.push_back({"busy_486_tcp", RefusedCaller(486), RefusingCallee("486 Busy Here", reason), "rejected",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::Rejected);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 486);
                         EXPECT_EQ(v->reason, "Busy Here");
                         EXPECT_EQ(v->reasonHeader, "Q.850;cause=17;text=\"User busy\"");
                         EXPECT_GT(Frames(o, "tcp.len > 0"), 0u);
                         EXPECT_EQ(Frames(o, "udp.port == 5060"), 0u);
                     },
                     "t1"});
    cases.push_back({"codec_488", RefusedCaller(488), RefusingCallee("488 Not Acceptable Here"),
                     "codec_mismatch", [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::CodecMismatch);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 488);
                         EXPECT_EQ(v->offerFormats, (std::vector<int>{8, 101}));
                     }});
    cases.push_back({"codec_answer_g729", AnsweredCaller(""), AnsweringCallee("", "18"), "codec_mismatch",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::CodecMismatch);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 200);
                         EXPECT_EQ(v->offerFormats, (std::vector<int>{8, 101}));
                         EXPECT_EQ(v->answerFormats, (std::vector<int>{18}));
                     }});
    cases.push_back({"no_answer_408", RefusedCaller(408), RefusingCallee("408 Request Timeout"), "no_answer",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::NoAnswer);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 408);
                     }});
    // The callee takes the INVITE and says nothing; the caller gives up after 2 s (its INVITE
    // retransmitted meanwhile). Both count their call as failed.
    PeerCase silent{"no_answer_silent",
                     Invite() + Recv("response=\"100\"", " timeout=\"2000\""),
                     Recv("request=\"INVITE\"") + Recv("request=\"ACK\"", " timeout=\"2500\""),
                     "no_answer", [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::NoAnswer);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 0);
                         EXPECT_GE(Frames(o, "sip.Method == \"INVITE\""), 3u) << "the INVITE and its retransmissions";
                         EXPECT_GT(v->delayMicros, 1'400'000);
                     }};
    silent.peerStatus = 1;
    cases.push_back(silent);
    cases.push_back({"cancelled_487",
                     Invite() + Recv("response=\"100\"", " optional=\"true\"") + Recv("response=\"180\"") + Pause(300) +
                         Send(Request("CANCEL", 1)) + Recv("response=\"200\"") + Recv("response=\"487\"") + Ack(),
                     Recv("request=\"INVITE\"") + Send(Response("180 Ringing"), false) + Recv("request=\"CANCEL\"") +
                         Send(Response("200 OK"), false) + Send(Response("487 Request Terminated", "", "", "CSeq: 1 INVITE")) +
                         Recv("request=\"ACK\""),
                     "cancelled", [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::Cancelled);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 0) << "the CANCEL itself shows it";
                         EXPECT_EQ(Frames(o, "sip.Status-Code == 487"), 1u);
                     }});
    // The 200 OK goes out again and again (after 100 ms, doubling, as timer G would) because
    // the caller never acknowledges it; the callee hangs up 1.5 s after the first, as timer H
    // would after 32 s.
    const std::string ok200 = Send(Response("200 OK", kSdpType, Sdp("[media_port]", "8 101")), false);
    cases.push_back({"no_ack_bye",
                     Invite() + Recv("response=\"100\"", " optional=\"true\"") + Recv("response=\"200\"") +
                         Recv("request=\"BYE\"") + Send(Response("200 OK"), false),
                     "<recv request=\"INVITE\"><action><ereg regexp=\".*\" search_in=\"hdr\" header=\"From:\" "
                     "assign_to=\"caller\"/></action></recv>\n" +
                         ok200 + Pause(100) + ok200 + Pause(200) + ok200 + Pause(400) + ok200 + Pause(800) + ok200 +
                         Send("BYE sip:1001@[remote_ip]:[remote_port] SIP/2.0\n"
                              "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
                              "From: <sip:2001@[local_ip]>;tag=[pid]SIPpTag01[call_number]\n"
                              "To:[$caller]\n[last_Call-ID:]\nCSeq: 1 BYE\nMax-Forwards: 70\nContent-Length: 0\n") +
                         Recv("response=\"200\""),
                     "no_ack", [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::NoAck);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 200);
                         EXPECT_EQ(v->count, Frames(o, "sip.Status-Code == 200 and sip.CSeq.method == \"INVITE\""));
                         EXPECT_EQ(v->count, 5u);
                         EXPECT_EQ(Frames(o, "sip.Method == \"ACK\""), 0u);
                         EXPECT_GE(v->delayMicros, 1'500'000);
                         EXPECT_LT(v->delayMicros, 2'000'000);
                     }});
    RunAll(cases);
}

TEST_F(DiagnosisPeers, Registrations) {
    std::vector<PeerCase> cases;
    cases.push_back({"register_401_loop", Registering(2, 401), Registrar(2, "401 Unauthorized"),
                     "register_failed", [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::RegisterFailed);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 401);
                         EXPECT_EQ(v->count, 2u) << "challenged twice after sending credentials";
                         EXPECT_EQ(Frames(o, "sip.Method == \"REGISTER\" and sip.Authorization"), 2u);
                     }});
    cases.push_back({"register_403", Registering(0, 403), Registrar(0, "403 Forbidden"), "register_failed",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::RegisterFailed);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 403);
                         EXPECT_EQ(v->count, 0u);
                     }});
    cases.push_back({"register_ok", Registering(1, 200), Registrar(1, "200 OK"), "ok",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::Ok);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->statusCode, 200);
                     }});
    RunAll(cases);
}

// Answered calls and their audio: both ways (with DTMF), one way, none, from elsewhere than
// announced, and with loss on the way.
TEST_F(DiagnosisPeers, AnsweredCallsAndTheirAudio) {
    const std::string talk = Play(audio) + Pause(2700);
    // 2.4 s of PCMA silence for SIPp's RTP stream (raw payload bytes, 20 ms a packet).
    const std::string silence = dir + "/silence.alaw";
    testsupport::WriteFile(silence, std::string(19200, '\xD5'));
    const std::string info = Send(Request("INFO", 3, "Content-Type: application/dtmf-relay\n", "Signal=5\nDuration=160\n")) +
                             Recv("response=\"200\"");
    std::vector<PeerCase> cases;
    cases.push_back({"ok_dtmf", AnsweredCaller(talk + Play(dtmf) + Pause(400) + info),
                     AnsweringCallee(talk + Recv("request=\"INFO\"") + Send(Response("200 OK"), false)), "ok",
                     [](const Observed& o) {
                         const RtpStreamReport* out = o.StreamFrom(kCaller, kCallerRtp);
                         const RtpStreamReport* back = o.StreamFrom(kCallee, kCalleeRtp);
                         ASSERT_NE(out, nullptr);
                         ASSERT_NE(back, nullptr);
                         EXPECT_EQ(out->packets, uint64_t(kAudioPackets));
                         EXPECT_EQ(back->packets, uint64_t(kAudioPackets));
                         EXPECT_EQ(out->lost, 0);
                         EXPECT_EQ(Frames(o, "udp.srcport == 18000 and udp.dstport == 16000"), size_t(kAudioPackets) + 10)
                             << "the audio and the digit's 10 packets";
                         std::string digits;
                         for (const SipMessage& m : o.record.messages)
                             if (m.type == SipMsgType::Dtmf) digits += m.digit;
                         EXPECT_EQ(digits, "1") << "one entry for the event's 10 packets";
                         EXPECT_EQ(DtmfDigits(o.record), "15") << "the RTP event and the INFO";
                     }});
    cases.push_back({"one_way_audio", AnsweredCaller(talk), AnsweringCallee(), "one_way_audio",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::OneWayAudio);
                         ASSERT_NE(v, nullptr);
                         EXPECT_EQ(v->from.Text(), std::string(kCaller) + ":18000");
                         EXPECT_EQ(v->to.Text(), std::string(kCallee) + ":16000");
                         EXPECT_EQ(v->packets, Frames(o, "udp.srcport == 18000 and udp.dstport == 16000"));
                         EXPECT_EQ(v->packetsBack, 0u);
                         EXPECT_GE(v->seconds, 2.0);
                     }});
    cases.push_back({"no_audio", AnsweredCaller(Pause(2500)), AnsweringCallee(), "no_audio",
                     [](const Observed& o) {
                         const Verdict* v = o.Find(Diagnosis::NoAudio);
                         ASSERT_NE(v, nullptr);
                         EXPECT_GE(v->delayMicros, 2'400'000);
                         EXPECT_EQ(Frames(o, "udp.port == 18000 or udp.port == 16000"), 0u);
                     }});
    // SIP from the caller's public address, its SDP naming its private one (where the audio
    // really comes from): what a phone behind NAT without help sends.
    PeerCase privateSdp{"address_private_sdp", AnsweredCaller(talk), AnsweringCallee(talk),
                        "address_mismatch", [](const Observed& o) {
                            const Verdict* v = o.Find(Diagnosis::AddressMismatch);
                            ASSERT_NE(v, nullptr);
                            EXPECT_TRUE(v->privateAnnounced);
                            EXPECT_EQ(v->announced.Text(), std::string(kCallerPrivate) + ":18000");
                            EXPECT_EQ(v->from.address.Text(), kCaller);
                            EXPECT_EQ(v->statusCode, 0) << "the INVITE shows it";
                        }};
    privateSdp.callerMedia = kCallerPrivate;
    cases.push_back(privateSdp);
    // The offer names port 6000, the caller's audio leaves from its media port, 18000 (what a
    // NAT that rewrites ports does): SIPp's RTP stream sends from the port it binds, whatever
    // the SDP says. The callee's audio goes where it was told and nobody takes it.
    PeerCase otherPort{"address_rtp_port",
                       AnsweredCaller("<nop><action><exec rtp_stream=\"" + silence + ",1,8\"/></action></nop>\n" +
                                      Pause(2700),
                                      "6000"),
                       AnsweringCallee(talk), "address_mismatch", [](const Observed& o) {
                           const Verdict* v = o.Find(Diagnosis::AddressMismatch);
                           ASSERT_NE(v, nullptr);
                           EXPECT_FALSE(v->privateAnnounced);
                           EXPECT_EQ(v->from.address.Text(), kCaller);
                           EXPECT_EQ(v->from.Text(), std::string(kCaller) + ":18000");
                           EXPECT_EQ(v->announced.Text(), std::string(kCaller) + ":6000");
                           EXPECT_EQ(v->packets, Frames(o, "udp.srcport == 18000 and udp.dstport == 16000 and not icmp"));
                           EXPECT_EQ(v->packets, 120u) << "2.4 s in 20 ms packets";
                           EXPECT_EQ(Frames(o, "udp.srcport == 16000 and udp.dstport == 6000 and not icmp"),
                                     size_t(kAudioPackets));
                       }};
    cases.push_back(otherPort);
    PeerCase lossy{"choppy_slow_link", AnsweredCaller(talk), AnsweringCallee(talk), "choppy_audio",
                   [](const Observed& o) {
                       // (The callee's stream may have its own, when the machine was too busy
                       // to send it on time.)
                       const Verdict* v = o.Find(Diagnosis::ChoppyAudio, std::string(kCaller) + ":18000");
                       ASSERT_NE(v, nullptr);
                       const size_t arrived = Frames(o, "udp.srcport == 18000 and udp.dstport == 16000");
                       EXPECT_LT(arrived, size_t(kAudioPackets));
                       EXPECT_EQ(v->packets, arrived);
                       const RtpStreamReport* s = o.StreamFrom(kCaller, kCallerRtp);
                       ASSERT_NE(s, nullptr);
                       // Loss counts up to the last packet that arrived.
                       EXPECT_EQ(uint64_t(s->lost) + s->packets, s->expected);
                       EXPECT_NEAR(v->lossPercent, 100.0 * double(s->lost) / double(s->expected), 1e-9);
                       EXPECT_GE(v->lossPercent + v->latePercent, 3.0);
                       // The callee's audio crossed untouched.
                       const RtpStreamReport* back = o.StreamFrom(kCallee, kCalleeRtp);
                       ASSERT_NE(back, nullptr);
                       EXPECT_EQ(back->lost, 0);
                   }};
    lossy.lossy = true;
    cases.push_back(lossy);
    RunAll(cases);
}

}  // namespace
