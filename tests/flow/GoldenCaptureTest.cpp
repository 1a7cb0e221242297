// Call tracking over the real SIP/RTP captures in tests/data/pcaps, checked against the
// ground truth of EXPECTED.md beside them.
#include <gtest/gtest.h>

#include "lib/TestEnv.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "FlowTestUtil.h"
#include "PcapTestReader.h"
#include "flow/CallTracker.h"
#include "flow/FlowCore.h"
#include "flow/FlowCsv.h"
#include "ui/EngineTexts.h"

using namespace flowtest;

namespace {

struct Flow {
    std::string src, dst, codec;
    uint32_t count;
};

struct Expected {
    std::string callId, time, fromUser, toUser, callerIp, calleeIp, state, display, origin;
    bool isInvite;
    std::vector<int32_t> mediaPorts;
    size_t sipMessages;
    std::vector<Flow> flows;  // in the order of their first packet
};

struct Capture {
    std::string file;
    size_t calls, registers;
    std::vector<Expected> records;
};

const std::string kPhone = "192.168.1.50", kPhone2 = "192.168.1.51", kPbx = "203.0.113.10";
const std::string kLan1 = "10.0.20.15", kLan2 = "10.0.20.30", kTrunk = "198.51.100.20";
const std::string kV6Phone = "fd00:10::50", kV6Pbx = "2001:db8:10::10";

Flow Pcma(const std::string& s, const std::string& d, uint32_t n) { return {s, d, "G711a", n}; }
Flow Pcmu(const std::string& s, const std::string& d, uint32_t n) { return {s, d, "G711u", n}; }

std::vector<Capture> Captures() {
    std::vector<Capture> c;
    // 200 OK arrives first from the PBX in 01/02 (frame order of EXPECTED.md: PBX stream starts 1 ms earlier).
    c.push_back({"01_basic_call_caller_bye.pcap", 1, 0,
                 {{"1-21527@192.168.1.50", "20:12:05.153", "1001", "2001", kPhone, kPbx, "Terminated", "Desligada",
                   "Softphone/PC", true, {16400, 12000}, 7,
                   {Pcma(kPbx, kPhone, 100), Pcma(kPhone, kPbx, 100)}}}});
    c.push_back({"02_basic_call_callee_bye.pcap", 1, 0,
                 {{"1-21660@192.168.1.50", "20:12:11.737", "1001", "2001", kPhone, kPbx, "Terminated", "Desligada",
                   "PABX/ROTA", true, {16400, 12000}, 7,
                   {Pcma(kPbx, kPhone, 100), Pcma(kPhone, kPbx, 100)}}}});
    c.push_back({"03_call_cancelled.pcap", 1, 0,
                 {{"1-21740@10.0.20.15", "20:12:18.124", "3005", "4010", kLan1, kLan2, "Terminated (Cancelled)",
                   "Desligada", "Softphone/PC", true, {18000}, 7, {}}}});
    // The 486 comes from 10.0.20.30: rule B counts every 10.x sender as the user's side.
    c.push_back({"04_call_busy_486.pcap", 1, 0,
                 {{"1-21802@10.0.20.15", "20:12:22.668", "3005", "4010", kLan1, kLan2, "Error (486)", "Desligada",
                   "Softphone/PC", true, {18000}, 4, {}}}});
    c.push_back({"05_call_digest_auth.pcap", 1, 0,
                 {{"1-21984@192.168.1.51", "20:12:24.876", "1002", "2001", kPhone2, kPbx, "Terminated", "Desligada",
                   "Softphone/PC", true, {16400, 16400, 12000}, 10,
                   {Pcma(kPbx, kPhone2, 100), Pcma(kPhone2, kPbx, 100)}}}});
    c.push_back({"06a_register_401_200.pcap", 0, 1,
                 {{"1-22282@192.168.1.50", "20:12:30.965", "1001", "1001", "", "", "Init", "Sucesso", "", false, {}, 4, {}}}});
    c.push_back({"06b_register_403.pcap", 0, 1,
                 {{"1-22344@192.168.1.51", "20:12:32.652", "1099", "1099", "", "", "Init", "Insucesso", "", false, {}, 2, {}}}});
    c.push_back({"07a_options_200.pcap", 0, 0,
                 {{"1-22406@203.0.113.10", "20:12:34.317", "ping", "1001", "", "", "Init", "Sucesso", "", false, {}, 2, {}}}});
    c.push_back({"07b_options_unanswered.pcap", 0, 0,
                 {{"1-22457@192.168.1.50", "20:12:35.764", "ping", "trunk", "", "", "Init", "Tentando...", "", false, {}, 6, {}}}});
    // The caller's stream carries 25 telephone-events: still named G711u (DTMF ranks lower).
    c.push_back({"08_call_pcmu_dtmf_rfc2833.pcap", 1, 0,
                 {{"1-22548@10.0.20.15", "20:12:52.664", "3007", "8500", kLan1, kLan2, "Terminated", "Desligada",
                   "Softphone/PC", true, {18000, 14000}, 7,
                   {Pcmu(kLan1, kLan2, 206), Pcmu(kLan2, kLan1, 200)}}}});
    c.push_back({"09_call_compact_headers_lf.pcap", 1, 0,
                 {{"7c1b9e40f2d3a6@192.168.1.51", "20:12:59.223", "1003", "5551234", kPhone2, kTrunk, "Terminated",
                   "Desligada", "Softphone/PC", true, {18300, 40212}, 7,
                   {Pcmu(kPhone2, kTrunk, 75), Pcmu(kTrunk, kPhone2, 75)}}}});
    // SIPp over IPv6 (SDP "c=IN IP6"), the callee echoing the caller's RTP; the phone's
    // unique local address counts as this side of the call. The flows count the telephone
    // events of the same ports too (236 PCMA + 10 events each way).
    c.push_back({"11_ipv6_call_caller_bye.pcap", 1, 0,
                 {{"1-21566@fd00:10::50", "05:46:01.584", "sipp", "service", kV6Phone, kV6Pbx, "Terminated",
                   "Desligada", "Softphone/PC", true, {16400, 12000}, 6,
                   {Pcma(kV6Phone, kV6Pbx, 246), Pcma(kV6Pbx, kV6Phone, 246)}}}});
    Capture batch{"10_batch_20_calls.pcap", 20, 0, {}};
    for (int k = 1; k <= 20; ++k) {
        Expected e{std::to_string(k) + "-22690@192.168.1.50", "", std::to_string(1000 + k), "2001", kPhone, kPbx,
                   "Terminated", "Desligada", "Softphone/PC", true,
                   {16400 + 4 * (k - 1), 12000 + 4 * (k - 1)}, 7, {}};
        e.flows = {Pcma(kPhone, kPbx, 20), Pcma(kPbx, kPhone, 20)};
        batch.records.push_back(e);
    }
    c.push_back(batch);
    return c;
}

class GoldenCapture : public ::testing::TestWithParam<Capture> {
protected:
    static void SetUpTestSuite() {
        // Capture times are shown in local time; the ground truth is written in UTC.
        UseUtcLocalTime();
    }
};

// Decoded frames handed to the engine as its capture thread does, analysed by its worker.
std::vector<SipCall> Analyse(const std::string& path, uint64_t* lost = nullptr) {
    FlowCore core;
    for (PacketLogEntry& e : ReadPcapForTest(path)) core.OnPacket(std::move(e));
    core.WaitAnalysed();
    if (lost) *lost = core.Counters().trimmedUnanalysed;
    return core.Tracker().GetCalls();
}

// RFC 4733 telephone-events: one ladder entry per digit, not per packet (the fixture's
// digits 1, 5 and # take 6, 8 and 5 packets, the end packet three times), in the caller's
// direction, at the event's first packet.
TEST(GoldenDtmf, OneEntryPerTelephoneEvent) {
    UseUtcLocalTime();
    const std::vector<SipCall> calls = Analyse(std::string(OC_PCAP_DIR) + "/08_call_pcmu_dtmf_rfc2833.pcap");
    ASSERT_EQ(calls.size(), 1u);
    std::string digits;
    for (const SipMessage& m : calls[0].messages) {
        if (m.type != SipMsgType::Dtmf) continue;
        digits += m.digit;
        EXPECT_EQ(m.src.Text(), "10.0.20.15:18000");
        EXPECT_EQ(m.text.rfind("DTMF ", 0), 0u) << m.text;
    }
    EXPECT_EQ(digits, "15#");
}

void CheckAgainstExpected(const Capture& cap, const std::vector<SipCall>& calls) {
    ASSERT_EQ(calls.size(), cap.records.size());
    size_t callRecords = 0, registers = 0;
    for (const SipCall& c : calls) {
        const SipMsgType first = c.messages.empty() ? SipMsgType::Other : c.messages.front().type;
        const RecordKind kind = KindOfRecord(c.isInvite, c.messages.size(), first);
        callRecords += kind == RecordKind::Call;
        registers += kind == RecordKind::Register;
    }
    EXPECT_EQ(callRecords, cap.calls);
    EXPECT_EQ(registers, cap.registers);
    for (const Expected& x : cap.records) {
        SCOPED_TRACE(x.callId);
        const SipCall* c = FindCall(calls, x.callId);
        ASSERT_NE(c, nullptr);
        if (!x.time.empty()) {
            EXPECT_EQ(c->time, x.time);
        }
        EXPECT_EQ(c->fromUser, x.fromUser);
        EXPECT_EQ(c->toUser, x.toUser);
        EXPECT_EQ(c->callerIp, x.callerIp);
        EXPECT_EQ(c->calleeIp, x.calleeIp);
        EXPECT_EQ(CallStateText(*c), x.state);
        EXPECT_EQ(DisplayStatus(*c), x.display);
        EXPECT_EQ(c->hangupOrigin, x.origin);
        EXPECT_EQ(c->isInvite, x.isInvite);
        EXPECT_EQ(c->mediaPorts, x.mediaPorts);
        auto flows = RtpEntries(*c);
        size_t events = 0;
        for (const SipMessage& m : c->messages) events += m.type == SipMsgType::Dtmf;
        EXPECT_EQ(c->messages.size(), x.sipMessages + flows.size() + events);
        ASSERT_EQ(flows.size(), x.flows.size());
        for (const Flow& f : x.flows) {
            bool found = false;
            for (const SipMessage* m : flows) {
                if (m->sourceIp != f.src || m->destinationIp != f.dst) continue;
                found = true;
                EXPECT_EQ(m->codec, f.codec);
                EXPECT_EQ(m->count, f.count) << f.src << " -> " << f.dst;
                EXPECT_EQ(m->text.rfind("RTP (" + f.codec, 0), 0u) << m->text;
            }
            EXPECT_TRUE(found) << f.src << " -> " << f.dst;
        }
    }
}

TEST_P(GoldenCapture, CallsMatchGroundTruth) {
    const Capture& cap = GetParam();
    uint64_t lost = 1;
    auto calls = Analyse(std::string(OC_PCAP_DIR) + "/" + cap.file, &lost);
    EXPECT_EQ(lost, 0u);
    CheckAgainstExpected(cap, calls);
}

// The same through the offline capture path that the Flow tab's file loading and
// orvanta-cli use: Sniffer decoding, the engine's queue and worker; the engine stops by
// itself at the end of the file, without a stop cause.
TEST_P(GoldenCapture, OfflineReadMatchesGroundTruth) {
    const Capture& cap = GetParam();
    FlowCore core;
    ASSERT_TRUE(core.StartOffline(std::string(OC_PCAP_DIR) + "/" + cap.file)) << StartErrorText(core.LastStartError());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (core.IsRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_FALSE(core.IsRunning()) << "the end of the file ends the run";
    core.WaitAnalysed();
    EXPECT_EQ(core.StopCause(), FlowStopCause::None);
    CheckAgainstExpected(cap, core.Tracker().GetCalls());
}

INSTANTIATE_TEST_SUITE_P(CallTrackerGolden, GoldenCapture, ::testing::ValuesIn(Captures()),
                         [](const ::testing::TestParamInfo<Capture>& info) {
                             std::string name = "f";  // appended: gcc 12 misreads "f" + string as overlapping
                             return name.append(info.param.file, 0, info.param.file.find('_'));
                         });

TEST(CallTrackerGoldenBatch, OrderAndCsv) {
    UseUtcLocalTime();
    auto calls = Analyse(std::string(OC_PCAP_DIR) + "/10_batch_20_calls.pcap");
    ASSERT_EQ(calls.size(), 20u);
    // GetCalls order is by first-packet time: call k starts ~0.2 s after call k-1.
    for (int k = 1; k <= 20; ++k) EXPECT_EQ(calls[k - 1].callId, std::to_string(k) + "-22690@192.168.1.50");
    const std::string csv = CallsCsvText(calls);
    EXPECT_NE(csv.find("\n20:13:03.048;INVITE;1001;192.168.1.50;2001;203.0.113.10;9;1-22690@192.168.1.50;Terminated;Softphone/PC\n"),
              std::string::npos)
        << csv;
}

}  // namespace
