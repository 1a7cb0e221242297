// The verdicts of a record, from hand-made dialogs fed through CallTracker with capture times:
// each fault raises its code with its evidence, and a clean call or registration only "ok".
#include <gtest/gtest.h>

#include "FlowTestUtil.h"
#include "ui/DiagnosisTexts.h"

using namespace flowtest;

namespace {

const std::string kCaller = "203.0.113.5:5060";
const std::string kCallee = "198.51.100.7:5060";

std::string Sdp(const std::string& address, int port, const std::string& formats) {
    return "v=0\r\no=- 1 1 IN IP4 " + address + "\r\ns=-\r\nc=IN IP4 " + address + "\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP " + formats + "\r\n";
}

std::string Msg(const std::string& startLine, const std::string& cseq, const std::string& extra = "",
                const std::string& sdp = "", const std::string& callId = "call-1") {
    return startLine + "\r\nVia: SIP/2.0/UDP x;branch=z9hG4bK1\r\nFrom: <sip:1001@a>;tag=1\r\nTo: <sip:2001@b>\r\n"
           "Call-ID: " + callId + "\r\nCSeq: " + cseq + "\r\n" + extra +
           (sdp.empty() ? "" : "Content-Type: application/sdp\r\n") + "Content-Length: " + std::to_string(sdp.size()) +
           "\r\n\r\n" + sdp;
}

// A dialog fed at capture times in seconds from 1,700,000,000.
struct Dialog {
    CallTracker tracker;
    void At(double t, const std::string& src, const std::string& dst, const std::vector<uint8_t>& payload) {
        PacketLogEntry e = Packet(src, dst, payload);
        const int64_t us = 1'700'000'000'000'000 + static_cast<int64_t>(t * 1e6);
        e.time.clear();
        e.tsSec = static_cast<uint32_t>(us / 1000000);
        e.tsUsec = static_cast<uint32_t>(us % 1000000);
        tracker.ProcessPacket(e);
    }
    void Sip(double t, const std::string& src, const std::string& dst, const std::string& text) { At(t, src, dst, Bytes(text)); }
    // `count` PCMA packets every 20 ms from t; every `lossEvery`-th sequence number left out.
    void Rtp(double t, const std::string& src, const std::string& dst, int count, uint32_t ssrc, int lossEvery = 0) {
        for (int i = 0; i < count; ++i) {
            if (lossEvery && i % lossEvery == lossEvery - 1) continue;
            std::vector<uint8_t> p = flowtest::Rtp(8);
            const uint16_t seq = static_cast<uint16_t>(i + 1);
            p[2] = static_cast<uint8_t>(seq >> 8);
            p[3] = static_cast<uint8_t>(seq);
            const uint32_t ts = 160u * seq;
            for (int k = 0; k < 4; ++k) p[4 + k] = static_cast<uint8_t>(ts >> (24 - 8 * k));
            for (int k = 0; k < 4; ++k) p[8 + k] = static_cast<uint8_t>(ssrc >> (24 - 8 * k));
            At(t + i * 0.02, src, dst, p);
        }
    }
    // INVITE with an offer at the caller's media, 100, 200 with an answer at the callee's.
    void Answered(double t, const std::string& answerFormats = "8 101") {
        Sip(t, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE", "", Sdp("203.0.113.5", 40000, "8 0 101")));
        Sip(t + 0.1, kCallee, kCaller, Msg("SIP/2.0 100 Trying", "1 INVITE"));
        Sip(t + 1, kCallee, kCaller, Msg("SIP/2.0 200 OK", "1 INVITE", "", Sdp("198.51.100.7", 50000, answerFormats)));
    }
    std::vector<Verdict> Verdicts(const std::string& id = "call-1") const { return tracker.Diagnose(id); }
    std::string Codes(const std::string& id = "call-1") const { return DiagnosisCodes(Verdicts(id)); }
    std::string Evidence(const std::string& id = "call-1") const {
        return DiagnosisLine(id, Verdicts(id));
    }
};

const Verdict* Find(const std::vector<Verdict>& vs, Diagnosis d) {
    for (const Verdict& v : vs)
        if (v.code == d) return &v;
    return nullptr;
}

}  // namespace

TEST(Diagnosis, CleanCallIsOkAndNothingElse) {
    Dialog d;
    d.Answered(0);
    d.Sip(1.05, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    d.Rtp(1.1, "203.0.113.5:40000", "198.51.100.7:50000", 200, 1);
    d.Rtp(1.1, "198.51.100.7:50000", "203.0.113.5:40000", 200, 2);
    d.Sip(6, kCaller, kCallee, Msg("BYE sip:2001@b SIP/2.0", "2 BYE"));
    d.Sip(6.1, kCallee, kCaller, Msg("SIP/2.0 200 OK", "2 BYE"));
    EXPECT_EQ(d.Codes(), "ok");
    EXPECT_NE(d.Evidence().find("200 OK as "), std::string::npos) << d.Evidence();
}

TEST(Diagnosis, RefusedCallsSayHowTheyWereRefused) {
    Dialog busy;
    busy.Sip(0, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE", "", Sdp("203.0.113.5", 40000, "8")));
    busy.Sip(1, kCallee, kCaller, Msg("SIP/2.0 486 Busy Here", "1 INVITE", "Reason: Q.850;cause=17\r\n"));
    busy.Sip(1.1, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    EXPECT_EQ(busy.Codes(), "rejected");
    const std::vector<Verdict> busyVerdicts = busy.Verdicts();
    const Verdict* v = Find(busyVerdicts, Diagnosis::Rejected);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->statusCode, 486);
    EXPECT_EQ(v->reasonHeader, "Q.850;cause=17");
    EXPECT_NE(VerdictEvidence(*v).find("486 Busy Here as "), std::string::npos) << VerdictEvidence(*v);

    // A challenge answered with credentials is no refusal; 488 is a codec refusal.
    Dialog codec;
    codec.Sip(0, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE", "", Sdp("203.0.113.5", 40000, "18")));
    codec.Sip(0.2, kCallee, kCaller, Msg("SIP/2.0 407 Proxy Authentication Required", "1 INVITE"));
    codec.Sip(0.4, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "2 INVITE", "Proxy-Authorization: Digest x\r\n",
                                        Sdp("203.0.113.5", 40000, "18")));
    codec.Sip(0.6, kCallee, kCaller, Msg("SIP/2.0 488 Not Acceptable Here", "2 INVITE"));
    EXPECT_EQ(codec.Codes(), "codec_mismatch");

    // An answer that shares no format with the offer.
    Dialog formats;
    formats.Answered(0, "18");
    EXPECT_NE(formats.Codes().find("codec_mismatch"), std::string::npos) << formats.Codes();
    EXPECT_NE(formats.Evidence().find("oferta: 8 0 101; resposta: 18)"), std::string::npos) << formats.Evidence();
    Dialog shared;
    shared.Answered(0, "0 101");
    EXPECT_EQ(shared.Codes().find("codec_mismatch"), std::string::npos);
}

TEST(Diagnosis, CancelledAndUnansweredCalls) {
    Dialog cancel;
    cancel.Sip(0, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE"));
    cancel.Sip(0.1, kCallee, kCaller, Msg("SIP/2.0 180 Ringing", "1 INVITE"));
    cancel.Sip(3, kCaller, kCallee, Msg("CANCEL sip:2001@b SIP/2.0", "1 CANCEL"));
    cancel.Sip(3.1, kCallee, kCaller, Msg("SIP/2.0 200 OK", "1 CANCEL"));
    cancel.Sip(3.2, kCallee, kCaller, Msg("SIP/2.0 487 Request Terminated", "1 INVITE"));
    EXPECT_EQ(cancel.Codes(), "cancelled");

    Dialog silent;
    silent.Sip(0, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE"));
    silent.Sip(0.5, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE"));
    silent.Sip(32, kCaller, kCallee, Msg("OPTIONS sip:x SIP/2.0", "1 OPTIONS", "", "", "other"));
    EXPECT_EQ(silent.Codes(), "no_answer");
    EXPECT_NE(silent.Evidence().find("sem resposta final em 32.0 s"), std::string::npos) << silent.Evidence();

    Dialog timeout;
    timeout.Sip(0, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE"));
    timeout.Sip(32, kCallee, kCaller, Msg("SIP/2.0 408 Request Timeout", "1 INVITE"));
    EXPECT_EQ(timeout.Codes(), "no_answer");
}

TEST(Diagnosis, TwoHundredWithoutAckAndTheByeAfterIt) {
    Dialog d;
    d.Answered(0);
    for (double t : {1.5, 2.5, 4.5, 8.5}) d.Sip(t, kCallee, kCaller, Msg("SIP/2.0 200 OK", "1 INVITE"));
    d.Rtp(1.1, "203.0.113.5:40000", "198.51.100.7:50000", 100, 1);
    d.Rtp(1.1, "198.51.100.7:50000", "203.0.113.5:40000", 100, 2);
    d.Sip(33, kCallee, kCaller, Msg("BYE sip:1001@a SIP/2.0", "1 BYE"));
    const std::vector<Verdict> dVerdicts = d.Verdicts();
    const Verdict* v = Find(dVerdicts, Diagnosis::NoAck);
    ASSERT_TRUE(v) << d.Codes();
    EXPECT_EQ(v->count, 5u);
    EXPECT_EQ(v->delayMicros, 32'000'000);
    EXPECT_EQ(Find(d.Verdicts(), Diagnosis::Ok), nullptr);

    // Three copies and then an ACK: a slow ACK, not a missing one.
    Dialog acked;
    acked.Answered(0);
    for (double t : {1.5, 2.5, 4.5}) acked.Sip(t, kCallee, kCaller, Msg("SIP/2.0 200 OK", "1 INVITE"));
    acked.Sip(4.6, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    EXPECT_EQ(Find(acked.Verdicts(), Diagnosis::NoAck), nullptr);
}

TEST(Diagnosis, MediaMissingOrOneWay) {
    Dialog none;
    none.Answered(0);
    none.Sip(1.1, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    EXPECT_EQ(none.Codes(), "") << "one second after the answer is too early to tell";
    none.Sip(4, kCaller, kCallee, Msg("OPTIONS sip:x SIP/2.0", "1 OPTIONS", "", "", "other"));
    EXPECT_EQ(none.Codes(), "no_audio");

    Dialog oneWay;
    oneWay.Answered(0);
    oneWay.Sip(1.1, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    oneWay.Rtp(1.2, "203.0.113.5:40000", "198.51.100.7:50000", 150, 1);
    oneWay.Rtp(1.2, "198.51.100.7:50000", "203.0.113.5:40000", 10, 2);
    const std::vector<Verdict> oneWayVerdicts = oneWay.Verdicts();
    const Verdict* v = Find(oneWayVerdicts, Diagnosis::OneWayAudio);
    ASSERT_TRUE(v) << oneWay.Codes();
    EXPECT_EQ(v->packets, 150u);
    EXPECT_EQ(v->packetsBack, 10u);
    EXPECT_EQ(v->from.Text(), "203.0.113.5:40000");
    EXPECT_EQ(Find(oneWay.Verdicts(), Diagnosis::Ok), nullptr);
}

TEST(Diagnosis, MediaElsewhereThanAnnounced) {
    // The phone behind NAT announces its private address from a public one, and its RTP
    // arrives from the NAT's port.
    Dialog d;
    d.Sip(0, kCaller, kCallee, Msg("INVITE sip:2001@b SIP/2.0", "1 INVITE", "", Sdp("192.168.1.20", 40000, "8")));
    d.Sip(1, kCallee, kCaller, Msg("SIP/2.0 200 OK", "1 INVITE", "", Sdp("198.51.100.7", 50000, "8")));
    d.Sip(1.1, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    d.Rtp(1.2, "203.0.113.5:61000", "198.51.100.7:50000", 100, 1);
    d.Rtp(1.2, "198.51.100.7:50000", "203.0.113.5:61000", 100, 2);
    const std::vector<Verdict> vs = d.Verdicts();
    bool privateSeen = false, portSeen = false;
    for (const Verdict& v : vs) {
        if (v.code != Diagnosis::AddressMismatch) continue;
        if (v.privateAnnounced) {
            privateSeen = true;
            EXPECT_EQ(v.announced.Text(), "192.168.1.20:40000");
        } else if (v.from.Text() == "203.0.113.5:61000") {
            portSeen = true;
            EXPECT_EQ(v.announced.Text(), "192.168.1.20:40000");
        }
    }
    EXPECT_TRUE(privateSeen) << DiagnosisLine("call-1", vs);
    EXPECT_TRUE(portSeen) << DiagnosisLine("call-1", vs);
}

TEST(Diagnosis, ChoppyStreamGivesItsFigures) {
    Dialog d;
    d.Answered(0);
    d.Sip(1.1, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    d.Rtp(1.2, "203.0.113.5:40000", "198.51.100.7:50000", 250, 1, 10);  // 10 % lost
    d.Rtp(1.2, "198.51.100.7:50000", "203.0.113.5:40000", 250, 2);
    const std::vector<Verdict> vs = d.Verdicts();
    ASSERT_EQ(DiagnosisCodes(vs), "choppy_audio");
    EXPECT_EQ(vs[0].from.Text(), "203.0.113.5:40000");
    EXPECT_NEAR(vs[0].lossPercent, 100.0 * 24 / 249, 0.01);  // the last sequence number is one left out
    EXPECT_NE(VerdictEvidence(vs[0]).find("perda 9.6%"), std::string::npos) << VerdictEvidence(vs[0]);
}

TEST(Diagnosis, Registrations) {
    const std::string phone = "192.168.1.20:5060", registrar = "198.51.100.1:5060";
    Dialog loop;  // credentials refused: challenged again
    loop.Sip(0, phone, registrar, Msg("REGISTER sip:b SIP/2.0", "1 REGISTER"));
    loop.Sip(0.1, registrar, phone, Msg("SIP/2.0 401 Unauthorized", "1 REGISTER"));
    loop.Sip(0.2, phone, registrar, Msg("REGISTER sip:b SIP/2.0", "2 REGISTER", "Authorization: Digest x\r\n"));
    loop.Sip(0.3, registrar, phone, Msg("SIP/2.0 401 Unauthorized", "2 REGISTER"));
    ASSERT_EQ(loop.Codes(), "register_failed");
    EXPECT_EQ(loop.Verdicts()[0].count, 1u);

    Dialog forbidden;
    forbidden.Sip(0, phone, registrar, Msg("REGISTER sip:b SIP/2.0", "1 REGISTER"));
    forbidden.Sip(0.1, registrar, phone, Msg("SIP/2.0 403 Forbidden", "1 REGISTER"));
    EXPECT_EQ(forbidden.Codes(), "register_failed");

    Dialog unanswered;
    unanswered.Sip(0, phone, registrar, Msg("REGISTER sip:b SIP/2.0", "1 REGISTER"));
    EXPECT_EQ(unanswered.Codes(), "register_failed");
    EXPECT_NE(unanswered.Evidence().find("sem resposta final"), std::string::npos);

    Dialog fine;
    fine.Sip(0, phone, registrar, Msg("REGISTER sip:b SIP/2.0", "1 REGISTER"));
    fine.Sip(0.1, registrar, phone, Msg("SIP/2.0 401 Unauthorized", "1 REGISTER"));
    fine.Sip(0.2, phone, registrar, Msg("REGISTER sip:b SIP/2.0", "2 REGISTER", "Authorization: Digest x\r\n"));
    fine.Sip(0.3, registrar, phone, Msg("SIP/2.0 200 OK", "2 REGISTER"));
    EXPECT_EQ(fine.Codes(), "ok");
}

TEST(Diagnosis, AudioFormatsOfTheFirstUsableAudioLine) {
    EXPECT_EQ(ReadSdpAudioFormats(Msg("INVITE sip:x SIP/2.0", "1 INVITE", "",
                                      "v=0\r\nm=audio 0 RTP/AVP 9\r\nm=audio 4000 RTP/AVP 8 0 101\r\n")),
              (std::vector<int>{8, 0, 101}));
    EXPECT_TRUE(ReadSdpAudioFormats("INVITE sip:x SIP/2.0\r\n\r\nv=0\r\nm=video 4000 RTP/AVP 96\r\n").empty());
}

// The digits a call carried close its --diagnose evidence: one per RFC 4733 event (not per
// packet), one per INFO (its retransmission, same CSeq, once), in the order seen.
TEST(Diagnosis, DtmfDigitsInTheEvidence) {
    Dialog d;
    d.Answered(0);
    d.Sip(1.05, kCaller, kCallee, Msg("ACK sip:2001@b SIP/2.0", "1 ACK"));
    d.Rtp(1.1, "203.0.113.5:40000", "198.51.100.7:50000", 200, 1);
    d.Rtp(1.1, "198.51.100.7:50000", "203.0.113.5:40000", 200, 2);
    // Event 1 in three packets sharing timestamp 8000, then event 11 ('#') 2 s later, in a
    // stream of their own (SSRC 9, as some phones send them): silence between key presses
    // is no gap in the audio.
    auto event = [&](double t, uint8_t digit, uint32_t ts, uint16_t seq) {
        std::vector<uint8_t> p = flowtest::Rtp(101, 16);
        p[2] = static_cast<uint8_t>(seq >> 8);
        p[3] = static_cast<uint8_t>(seq);
        for (int k = 0; k < 4; ++k) p[4 + k] = static_cast<uint8_t>(ts >> (24 - 8 * k));
        p[11] = 9;
        p[12] = digit;
        d.At(t, "203.0.113.5:40000", "198.51.100.7:50000", p);
    };
    event(2.0, 1, 8000, 500);
    event(2.02, 1, 8000, 501);
    event(2.04, 1, 8000, 502);
    const std::string relay = "Content-Type: application/dtmf-relay\r\n";
    const std::string info = Msg("INFO sip:2001@b SIP/2.0", "3 INFO", relay) + "Signal=5\r\nDuration=160\r\n";
    d.Sip(3, kCaller, kCallee, info);
    d.Sip(3.5, kCaller, kCallee, info);  // retransmitted
    d.Sip(3.6, kCallee, kCaller, Msg("SIP/2.0 200 OK", "3 INFO"));
    event(4.0, 11, 9600, 503);
    d.Sip(6, kCaller, kCallee, Msg("BYE sip:2001@b SIP/2.0", "2 BYE"));
    d.Sip(6.1, kCallee, kCaller, Msg("SIP/2.0 200 OK", "2 BYE"));

    const std::vector<SipCall> calls = d.tracker.GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(DtmfDigits(calls[0]), "15#");
    const std::string line = DiagnosisLine("call-1", d.Verdicts(), DtmfDigits(calls[0]));
    EXPECT_EQ(d.Codes(), "ok") << "the digits are evidence, not a verdict";
    EXPECT_NE(line.find(";ok;200 OK as "), std::string::npos) << line;
    EXPECT_NE(line.find(" | DTMF: 1 5 #\n"), std::string::npos) << line;
    // Without verdicts the digits are the evidence; without digits nothing is added.
    EXPECT_EQ(DiagnosisLine("x", {}, "*0"), "x;;DTMF: * 0\n");
    EXPECT_EQ(DiagnosisLine("x", {}), "x;;\n");
}
