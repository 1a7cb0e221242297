#include <gtest/gtest.h>

#include "FlowTestUtil.h"
#include "flow/CallTracker.h"
#include "flow/FlowCsv.h"
#include "flow/HangupRules.h"
#include "flow/RtpStreamStats.h"
#include "flow/SipParser.h"

using namespace flowtest;

namespace {

const std::string A = "192.168.1.50:5060";
const std::string B = "203.0.113.10:5060";

struct Step {
    std::string src, dst, sip, expectState;
};

// Feeds the steps one by one and checks the state after each.
SipCall RunSteps(const std::vector<Step>& steps, const std::string& id = "c1") {
    CallTracker t;
    for (size_t i = 0; i < steps.size(); ++i) {
        Feed(t, steps[i].src, steps[i].dst, steps[i].sip);
        auto calls = t.GetCalls();
        EXPECT_EQ(calls.size(), 1u);
        if (calls.size() == 1) {
            EXPECT_EQ(CallStateText(calls[0]), steps[i].expectState) << "step " << i;
        }
    }
    auto calls = t.GetCalls();
    return calls.empty() ? SipCall{} : *FindCall(calls, id);
}

TEST(CallTrackerStates, BasicCallCallerBye) {
    SipCall c = RunSteps({{A, B, Sip("INVITE sip:2001@b SIP/2.0", "c1", "1 INVITE", 16400), "Setup"},
                     {B, A, Sip("SIP/2.0 100 Trying", "c1", "1 INVITE"), "Setup"},
                     {B, A, Sip("SIP/2.0 180 Ringing", "c1", "1 INVITE"), "Setup"},
                     {B, A, Sip("SIP/2.0 200 OK", "c1", "1 INVITE", 12000), "Connected"},
                     {A, B, Sip("ACK sip:2001@b SIP/2.0", "c1", "1 ACK"), "Connected"},
                     {A, B, Sip("BYE sip:2001@b SIP/2.0", "c1", "2 BYE"), "Terminated"},
                     {B, A, Sip("SIP/2.0 200 OK", "c1", "2 BYE"), "Terminated"}});
    EXPECT_EQ(c.hangupOrigin, "Softphone/PC");
    EXPECT_EQ(c.callerIp, "192.168.1.50");
    EXPECT_EQ(c.calleeIp, "203.0.113.10");
    EXPECT_TRUE(c.isInvite);
    EXPECT_EQ(c.mediaPorts, (std::vector<int32_t>{16400, 12000}));
    EXPECT_EQ(DisplayStatus(c), "Desligada");
    ASSERT_EQ(c.messages.size(), 7u);
    EXPECT_EQ(c.messages[0].sourceIp, "192.168.1.50");
    EXPECT_EQ(c.messages[3].method, "OK");
}

TEST(CallTrackerStates, ChallengeThenBusy) {
    SipCall c = RunSteps({{A, B, Sip("INVITE sip:2001@b SIP/2.0", "c1", "1 INVITE"), "Setup"},
                     {B, A, Sip("SIP/2.0 401 Unauthorized", "c1", "1 INVITE"), "Setup"},
                     {A, B, Sip("INVITE sip:2001@b SIP/2.0", "c1", "2 INVITE"), "Setup"},
                     {B, A, Sip("SIP/2.0 407 Proxy Authentication Required", "c1", "2 INVITE"), "Setup"},
                     {A, B, Sip("INVITE sip:2001@b SIP/2.0", "c1", "3 INVITE"), "Setup"},
                     {B, A, Sip("SIP/2.0 486 Busy Here", "c1", "3 INVITE"), "Error (486)"}});
    EXPECT_EQ(c.hangupOrigin, "PABX/ROTA");  // from the 486's source, rule B
    EXPECT_EQ(DisplayStatus(c), "Desligada");
    EXPECT_EQ(CallCsvColumns(c)[8], "Error (486)");  // the export keeps the internal state
}

TEST(CallTrackerStates, CancelThenLate487KeepsCancelOrigin) {
    SipCall c = RunSteps({{A, B, Sip("INVITE sip:2001@b SIP/2.0", "c1", "1 INVITE"), "Setup"},
                     {A, B, Sip("CANCEL sip:2001@b SIP/2.0", "c1", "1 CANCEL"), "Cancelled"},
                     {B, A, Sip("SIP/2.0 200 OK", "c1", "1 CANCEL"), "Cancelled"},
                     {B, A, Sip("SIP/2.0 487 Request Terminated", "c1", "1 INVITE"), "Terminated (Cancelled)"},
                     {A, B, Sip("ACK sip:2001@b SIP/2.0", "c1", "1 ACK"), "Terminated (Cancelled)"}});
    EXPECT_EQ(c.hangupOrigin, "Softphone/PC");
}

TEST(CallTrackerStates, HangupOriginRulesDifferFor172) {
    const std::string p172 = "172.20.1.5:5060";
    SipCall bye = RunSteps({{B, p172, Sip("INVITE sip:x SIP/2.0", "c1", "1 INVITE"), "Setup"},
                       {p172, B, Sip("BYE sip:x SIP/2.0", "c1", "2 BYE"), "Terminated"}});
    EXPECT_EQ(bye.hangupOrigin, "Softphone/PC");
    SipCall cancel = RunSteps({{B, p172, Sip("INVITE sip:x SIP/2.0", "c1", "1 INVITE"), "Setup"},
                          {p172, B, Sip("CANCEL sip:x SIP/2.0", "c1", "1 CANCEL"), "Cancelled"}});
    EXPECT_EQ(cancel.hangupOrigin, "PABX/ROTA");
    // The origin is set once: a later BYE from the other side does not change it.
    SipCall twice = RunSteps({{A, B, Sip("INVITE sip:x SIP/2.0", "c1", "1 INVITE"), "Setup"},
                         {B, A, Sip("BYE sip:x SIP/2.0", "c1", "1 BYE"), "Terminated"},
                         {A, B, Sip("BYE sip:x SIP/2.0", "c1", "2 BYE"), "Terminated"}});
    EXPECT_EQ(twice.hangupOrigin, "PABX/ROTA");
    EXPECT_EQ(HangupOriginForBye("127.0.0.1"), "Softphone/PC");
    EXPECT_EQ(HangupOriginForBye("127.0.0.2"), "PABX/ROTA");
    EXPECT_EQ(HangupOriginForCancelOrError("10.1.2.3"), "Softphone/PC");
    EXPECT_EQ(HangupOriginForCancelOrError("1.10.2.3"), "PABX/ROTA");  // prefix at offset 0 only
}

// IPv6 endpoints arrive as "[address]:port": the call, its media and the hang-up side are
// found as for IPv4. A media packet to a bare IPv6 address must not read the address's
// last group as a port.
TEST(CallTrackerIpv6, CallMediaAndHangupSide) {
    const std::string phone = "[fd00:10::50]:5060", pbx = "[2001:db8:10::10]:5060";
    CallTracker t;
    Feed(t, phone, pbx, Sip("INVITE sip:2001@b SIP/2.0", "v6", "1 INVITE", 16400));
    Feed(t, pbx, phone, Sip("SIP/2.0 200 OK", "v6", "1 INVITE", 12000));
    FeedRtp(t, "[fd00:10::50]:16400", "[2001:db8:10::10]:12000", Rtp(8));
    FeedRtp(t, "[2001:db8:10::10]:12000", "[fd00:10::50]:16400", Rtp(8));
    FeedRtp(t, "[2001:db8:10::10]:12000", "[fd00:10::50]:16400", Rtp(8));
    FeedRtp(t, "2001:db8:10::12000", "fd00:10::16400", Rtp(8));  // bare addresses: no ports
    Feed(t, pbx, phone, Sip("BYE sip:1001@a SIP/2.0", "v6", "2 BYE"));
    const auto calls = t.GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    const SipCall& c = calls[0];
    EXPECT_EQ(c.callerIp, "fd00:10::50");
    EXPECT_EQ(c.calleeIp, "2001:db8:10::10");
    EXPECT_EQ(c.messages[0].sourceIp, "fd00:10::50");
    EXPECT_EQ(c.hangupOrigin, "PABX/ROTA");
    const auto flows = RtpEntries(c);
    ASSERT_EQ(flows.size(), 2u);
    uint32_t packets = 0;
    for (const SipMessage* f : flows) packets += f->count;
    EXPECT_EQ(packets, 3u);
}

TEST(CallTrackerIpv6, PrivateRangesCountAsThisSide) {
    for (const char* local : {"::1", "fd00::1", "fdff:ffff::1", "fe80::1", "febf::1", "::ffff:192.168.1.5",
                              "::ffff:10.0.0.1"}) {
        EXPECT_EQ(HangupOriginForBye(local), "Softphone/PC") << local;
        EXPECT_EQ(HangupOriginForCancelOrError(local), "Softphone/PC") << local;
    }
    // fc00::/8 is unique local too, but not in use (no assignment authority): not ours.
    for (const char* remote : {"2001:db8::1", "fc00::1", "fec0::1", "fe8::1", "fd::1", "::2", "::",
                               "::ffff:8.8.8.8", "fe80x::1"}) {
        EXPECT_EQ(HangupOriginForBye(remote), "PABX/ROTA") << remote;
        EXPECT_EQ(HangupOriginForCancelOrError(remote), "PABX/ROTA") << remote;
    }
    // A mapped IPv4 address keeps the IPv4 rules' difference for 172.
    EXPECT_EQ(HangupOriginForBye("::ffff:172.16.0.1"), "Softphone/PC");
    EXPECT_EQ(HangupOriginForCancelOrError("::ffff:172.16.0.1"), "PABX/ROTA");
    EXPECT_EQ(StripPort("[fe80::1]:5060"), "fe80::1");
    EXPECT_EQ(StripPort("fe80::1"), "fe80::1");
    EXPECT_EQ(StripPort("10.0.0.1:5060"), "10.0.0.1");
    EXPECT_EQ(AddressOf("[::1]:4000"), "::1");
}

TEST(CallTrackerStates, ResponseBeforeInviteAndReInvite) {
    CallTracker t;
    Feed(t, B, A, Sip("SIP/2.0 180 Ringing", "c1", "1 INVITE", 0, "9001", "9002"), "09:59:59.000");
    auto calls = t.GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(CallStateText(calls[0]), "Init");
    EXPECT_EQ(calls[0].time, "09:59:59.000");
    EXPECT_EQ(calls[0].fromUser, "9001");
    EXPECT_EQ(calls[0].callerIp, "");
    Feed(t, A, B, Sip("INVITE sip:x SIP/2.0", "c1", "1 INVITE"));
    calls = t.GetCalls();
    EXPECT_EQ(CallStateText(calls[0]), "Setup");
    EXPECT_EQ(calls[0].callerIp, "192.168.1.50");
    EXPECT_EQ(calls[0].calleeIp, "203.0.113.10");
    Feed(t, B, A, Sip("SIP/2.0 200 OK", "c1", "1 INVITE"));
    Feed(t, A, B, Sip("INVITE sip:x SIP/2.0", "c1", "2 INVITE"));  // re-INVITE
    EXPECT_EQ(CallStateText(t.GetCalls()[0]), "Setup");
    Feed(t, B, A, Sip("SIP/2.0 200 OK", "c1", "2 INVITE"));
    EXPECT_EQ(CallStateText(t.GetCalls()[0]), "Connected");
    // An error after the call connected still overwrites the state.
    Feed(t, B, A, Sip("SIP/2.0 500 Server Error", "c1", "3 INVITE"));
    EXPECT_EQ(CallStateText(t.GetCalls()[0]), "Error (500)");
    // A 200 in any state but Setup changes nothing; a BYE response terminates.
    Feed(t, B, A, Sip("SIP/2.0 200 OK", "c1", "4 BYE"));
    EXPECT_EQ(CallStateText(t.GetCalls()[0]), "Terminated");
}

TEST(CallTrackerStates, RegistrationsAndOptions) {
    CallTracker t;
    Feed(t, A, B, Sip("REGISTER sip:b SIP/2.0", "r1", "1 REGISTER"), "10:00:00.001");
    Feed(t, B, A, Sip("SIP/2.0 401 Unauthorized", "r1", "1 REGISTER"), "10:00:00.002");
    Feed(t, A, B, Sip("REGISTER sip:b SIP/2.0", "r1", "2 REGISTER"), "10:00:00.003");
    Feed(t, B, A, Sip("SIP/2.0 200 OK", "r1", "2 REGISTER"), "10:00:00.004");
    Feed(t, A, B, Sip("REGISTER sip:b SIP/2.0", "r2", "1 REGISTER"), "10:00:01.000");
    Feed(t, B, A, Sip("SIP/2.0 403 Forbidden", "r2", "1 REGISTER"), "10:00:01.001");
    Feed(t, A, B, Sip("OPTIONS sip:b SIP/2.0", "o1", "1 OPTIONS"), "10:00:02.000");
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "i1", "1 INVITE"), "10:00:03.000");
    auto calls = t.GetCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].callId, "r1");  // sorted by time
    EXPECT_EQ(CallStateText(calls[0]), "Init");
    EXPECT_EQ(DisplayStatus(calls[0]), "Sucesso");
    EXPECT_EQ(calls[1].callId, "r2");
    EXPECT_EQ(DisplayStatus(calls[1]), "Insucesso");
    EXPECT_EQ(calls[2].callId, "o1");
    EXPECT_EQ(DisplayStatus(calls[2]), "Tentando...");
    EXPECT_EQ(DisplayStatus(calls[3]), "Em andamento");
    FlowCounters n = t.Counters();
    EXPECT_EQ(n.calls, 1u);
    EXPECT_EQ(n.registers, 2u);
    auto cols = CallCsvColumns(calls[0]);
    EXPECT_EQ(cols[8], "Init");
    EXPECT_EQ(cols[9], "");
    EXPECT_EQ(cols[1], "REGISTER");
    SipCall empty;
    EXPECT_EQ(DisplayStatus(empty), "Tentando...");
    EXPECT_EQ(CallCsvColumns(empty)[1], "?");
    t.Clear();
    EXPECT_TRUE(t.GetCalls().empty());
}

// The Flow tab copies its rows again only when Changes() moved.
TEST(CallTrackerStates, ChangesMoveWithWhatIsFedAndWithClearOnly) {
    CallTracker t;
    uint64_t seen = t.Changes();
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "c1", "1 INVITE"));
    EXPECT_GT(t.Changes(), seen);
    seen = t.Changes();
    t.GetCallRows(), t.Counters(), t.GetStreamReports();
    EXPECT_EQ(t.Changes(), seen);
    FeedRtp(t, "192.168.1.50:16400", "203.0.113.10:12000", Rtp(8));
    EXPECT_GT(t.Changes(), seen);
    seen = t.Changes();
    t.Clear();
    EXPECT_GT(t.Changes(), seen);
}

TEST(CallTrackerStates, BrokenSipIsNeverMedia) {
    CallTracker t;
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "c1", "1 INVITE"));
    // Mentions the version, no Call-ID: dropped, not counted as RTP of c1.
    std::string noCallId = "NOTIFY sip:b SIP/2.0\r\nFrom: x\r\n\r\n" + std::string(200, 'x');
    FeedRtp(t, "192.168.1.50:16400", "203.0.113.10:12000", Bytes(noCallId));
    FeedRtp(t, "192.168.1.50:16400", "203.0.113.10:12000", {});  // empty payload: nothing
    auto calls = t.GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].messages.size(), 1u);
}

TEST(CallTrackerStates, SdpAudioPortReading) {
    EXPECT_EQ(ReadSdpAudioPort("x\r\nm=audio 40000 RTP/AVP 0 8 101\r\n"), 40000);
    EXPECT_EQ(ReadSdpAudioPort("x\rm=audio 40002 RTP/AVP 0\r"), 40002);   // CR-only line ends
    EXPECT_EQ(ReadSdpAudioPort("x\nm=video 5000 RTP/AVP 96\nm=audio 7000 RTP/AVP 0\n"), 7000);
    EXPECT_EQ(ReadSdpAudioPort("x\nm=audio   123\n"), 123);
    EXPECT_EQ(ReadSdpAudioPort("x\nm=audio abc\n"), std::nullopt);
    EXPECT_EQ(ReadSdpAudioPort("x\nm=audio 99999999999\n"), std::nullopt);  // out of range
    EXPECT_EQ(ReadSdpAudioPort("\nm=audio "), std::nullopt);
    EXPECT_EQ(ReadSdpAudioPort("m=audio 5\n"), std::nullopt);  // must follow a line end
    // Only the first audio line of a message counts.
    CallTracker t;
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "c1", "1 INVITE", 40000) + "m=audio 40010 RTP/AVP 0\r\n");
    EXPECT_EQ(t.GetCalls()[0].mediaPorts, std::vector<int32_t>{40000});
}

// A trunk monitored for days: keep-alives with a fresh Call-ID each, among a few calls. The
// records stay within their bound, the ended ones go first, and the loss is counted.
TEST(CallTrackerLimits, RecordBoundDropsEndedRecordsFirst) {
    CallTracker t;
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "live-call", "1 INVITE", 16400), "00:00:00.000");
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "ended-call", "1 INVITE", 16402), "00:00:00.001");
    FeedRtp(t, "192.168.1.50:16402", "203.0.113.10:12002", Rtp(8));  // early media
    Feed(t, B, A, Sip("SIP/2.0 486 Busy Here", "ended-call", "1 INVITE"), "00:00:00.002");
    const std::string endedId = "ended-call";
    ASSERT_EQ(t.GetStreamReports(&endedId).size(), 1u);
    const size_t keepAlives = kMaxCallRecords + 600;
    for (size_t i = 0; i < keepAlives; ++i) {
        const std::string id = "ka-" + std::to_string(i);
        Feed(t, A, B, Sip("OPTIONS sip:b SIP/2.0", id, "1 OPTIONS"), "00:00:01.000");
        Feed(t, B, A, Sip("SIP/2.0 200 OK", id, "1 OPTIONS"), "00:00:01.000");
    }
    const CallTrackerStats stats = t.Stats();
    EXPECT_LE(stats.records, kMaxCallRecords);
    EXPECT_EQ(stats.records + stats.recordsDropped, keepAlives + 2);
    auto calls = t.GetCalls();
    EXPECT_NE(FindCall(calls, "live-call"), nullptr) << "a live call outlives ended keep-alives";
    EXPECT_EQ(FindCall(calls, "ended-call"), nullptr) << "the oldest ended record went first";
    EXPECT_EQ(FindCall(calls, "ka-0"), nullptr);
    EXPECT_NE(FindCall(calls, "ka-" + std::to_string(keepAlives - 1)), nullptr);
    EXPECT_EQ(t.Counters().calls, 1u);
    // Media still finds the live call after its neighbours in the port index went away.
    FeedRtp(t, "192.168.1.50:16400", "203.0.113.10:12000", Rtp(8));
    EXPECT_EQ(RtpEntries(*FindCall(t.GetCalls(), "live-call")).size(), 1u);
    // The dropped record's stream went with it; the live call's is there.
    EXPECT_TRUE(t.GetStreamReports(&endedId).empty());
    const std::string liveId = "live-call";
    EXPECT_EQ(t.GetStreamReports(&liveId).size(), 1u);
    // Unanswered keep-alives never end: past the bound the least recently active go.
    CallTracker u;
    for (size_t i = 0; i < kMaxCallRecords + 10; ++i)
        Feed(u, A, B, Sip("OPTIONS sip:b SIP/2.0", "u-" + std::to_string(i), "1 OPTIONS"));
    EXPECT_LE(u.Stats().records, kMaxCallRecords);
    EXPECT_EQ(FindCall(u.GetCalls(), "u-0"), nullptr);
    t.Clear();
    EXPECT_EQ(t.Stats().recordsDropped, 0u);
}

TEST(CallTrackerLimits, MessagesPerRecordAndTextBytes) {
    // A registration refreshed with one Call-ID: the oldest refreshes go, the first REGISTER
    // (the row's "Method", the Registers count) and the success status stay.
    CallTracker t;
    const size_t refreshes = kMaxMessagesPerRecord;
    for (size_t i = 0; i < refreshes; ++i) {
        const std::string cseq = std::to_string(i + 1) + " REGISTER";
        Feed(t, A, B, Sip("REGISTER sip:b SIP/2.0", "reg", cseq));
        Feed(t, B, A, Sip(i == 0 ? "SIP/2.0 200 OK" : "SIP/2.0 403 Forbidden", "reg", cseq));
    }
    SipCall reg = t.GetCalls().at(0);
    EXPECT_EQ(reg.messages.size(), kMaxMessagesPerRecord);
    EXPECT_EQ(reg.messages.front().method, "REGISTER");
    EXPECT_EQ(reg.droppedMessages, 2 * refreshes - kMaxMessagesPerRecord);
    EXPECT_EQ(t.Stats().messagesDropped, 2 * refreshes - kMaxMessagesPerRecord);
    EXPECT_EQ(DisplayStatus(reg), "Sucesso") << "the 200 was dropped, its outcome was not";
    EXPECT_EQ(t.Counters().registers, 1u);

    // Large messages: the kept text stays under its bound, whole records go.
    CallTracker big;
    const std::string padding(30000, 'x');
    size_t fed = 0;
    for (size_t i = 0; fed < 2 * kMaxKeptTextBytes; ++i) {
        const std::string sip = Sip("MESSAGE sip:b SIP/2.0", "m-" + std::to_string(i), "1 MESSAGE") + padding;
        fed += sip.size();
        Feed(big, A, B, sip);
        ASSERT_LE(big.Stats().keptTextBytes, kMaxKeptTextBytes);
    }
    EXPECT_GT(big.Stats().recordsDropped, 0u);
    size_t sum = 0;
    for (const SipCall& c : big.GetCalls())
        for (const SipMessage& m : c.messages) sum += m.text.size();
    EXPECT_EQ(sum, big.Stats().keptTextBytes);

    // Many long dialogs: the messages over all records stay under their bound too, and the
    // count kept matches what the records hold.
    CallTracker many;
    const size_t dialogs = kMaxKeptMessages / (kMaxMessagesPerRecord / 2) + 20;
    for (size_t d = 0; d < dialogs; ++d) {
        const std::string id = "sub-" + std::to_string(d);
        for (size_t i = 0; i < kMaxMessagesPerRecord / 2; ++i)
            Feed(many, A, B, "NOTIFY sip:b SIP/2.0\r\nCall-ID: " + id + "\r\nCSeq: " + std::to_string(i + 1) + " NOTIFY\r\n\r\n");
    }
    const CallTrackerStats m = many.Stats();
    EXPECT_LE(m.keptMessages, kMaxKeptMessages);
    EXPECT_GT(m.recordsDropped, 0u);
    size_t held = 0;
    for (const SipCall& c : many.GetCalls()) held += c.messages.size();
    EXPECT_EQ(held, m.keptMessages);
    EXPECT_NE(FindCall(many.GetCalls(), "sub-" + std::to_string(dialogs - 1)), nullptr);
}

TEST(CallTrackerCsv, Layout) {
    CallTracker t;
    // A From value without "sip:" stays whole, parameters and ';' included.
    Feed(t, A, B, Sip("INVITE sip:b SIP/2.0", "c1", "1 INVITE", 0, "x", "y"));
    Feed(t, A, B,
         "INVITE tel:1 SIP/2.0\r\nFrom: <tel:+551130001000>;tag=9\r\nTo: <sip:2001@b>\r\nCall-ID: c2\r\n\r\n",
         "10:00:01.000");
    const std::string csv = CallsCsvText(t.GetCalls());
    EXPECT_EQ(csv,
              "\xEF\xBB\xBF"
              "Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.\n"
              "10:00:00.000;INVITE;x;192.168.1.50;y;203.0.113.10;1;c1;Setup;\n"
              "10:00:01.000;INVITE;\"<tel:+551130001000>;tag=9\";192.168.1.50;2001;203.0.113.10;1;c2;Setup;\n");
    EXPECT_EQ(CsvHeaderLine(), "Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl.\n");
}

}  // namespace
