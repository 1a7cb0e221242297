// Geometry, colours and texts of the Flow tab's call list, ladder and raw packet window.
#include <gtest/gtest.h>

#include "flow/view/FlowTabLayout.h"
#include "FlowTabTestUtil.h"

using namespace flowtab_test;

namespace {

SipMessage Msg(const std::string& src, const std::string& dst) {
    SipMessage m;
    m.sourceIp = src;
    m.destinationIp = dst;
    return m;
}

const SipCall* Find(const std::vector<SipCall>& calls, const std::string& id) {
    for (const SipCall& c : calls)
        if (c.callId == id) return &c;
    return nullptr;
}

}  // namespace

TEST(FlowTabLadderLayout, TwoEndpointsAreCentredThreeHundredApart) {
    const std::vector<SipMessage> msgs = {Msg("10.0.0.1", "10.0.0.2"), Msg("10.0.0.2", "10.0.0.1"),
                                          Msg("10.0.0.1", "10.0.0.2")};
    const auto endpoints = LadderEndpoints(msgs);
    ASSERT_EQ(endpoints, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    const float left = LadderLeftMargin(endpoints.size(), 1000.0f);
    EXPECT_FLOAT_EQ(left, 350.0f);  // (1000 - 300) / 2
    // Life lines run from y0 + 40 down 40 per message plus 50: 170 for three messages.
    EXPECT_FLOAT_EQ(LadderLifeLineBottom(0.0f, msgs.size()) - kLadderLifeLineTop, 170.0f);
    EXPECT_FLOAT_EQ(LadderContentHeight(msgs.size()), 190.0f);
}

TEST(FlowTabLadderLayout, ProxyGivesThreeColumnsInOrderOfFirstAppearance) {
    const std::vector<SipMessage> msgs = {Msg("10.0.0.1", "10.0.0.9"), Msg("10.0.0.9", "10.0.0.2"),
                                          Msg("10.0.0.2", "10.0.0.9"), Msg("10.0.0.9", "10.0.0.1")};
    const auto endpoints = LadderEndpoints(msgs);
    ASSERT_EQ(endpoints, (std::vector<std::string>{"10.0.0.1", "10.0.0.9", "10.0.0.2"}));
    EXPECT_FLOAT_EQ(LadderLeftMargin(3, 1000.0f), 200.0f);  // (1000 - 600) / 2
    EXPECT_EQ(LadderColumnOf(endpoints, "10.0.0.2"), 2u);
    // Too many columns for the width: the margin stays at 50 and the view scrolls.
    EXPECT_FLOAT_EQ(LadderLeftMargin(5, 800.0f), 50.0f);
    EXPECT_FLOAT_EQ(LadderLeftMargin(0, 800.0f), 400.0f);
    EXPECT_FLOAT_EQ(LadderLeftMargin(0, 60.0f), 50.0f);
}

// Lanes keep 300 px for IPv4 and for a full IPv6 address in the stock 7-px font (39 x 7 =
// 273 px); a wider caption moves the lanes apart so captions never touch. The scrolling
// width reaches past the end of the last caption, however far right of its lane it ends.
TEST(FlowTabLadderLayout, LanesAndScrollWidthMakeRoomForLongCaptions) {
    EXPECT_FLOAT_EQ(LadderColumnSpacing(15 * 7.0f), kLadderColumnSpacing);
    EXPECT_FLOAT_EQ(LadderColumnSpacing(39 * 7.0f), kLadderColumnSpacing);
    EXPECT_FLOAT_EQ(LadderColumnSpacing(400.0f), 400.0f + kLadderCaptionGap);
    for (const float widest : {105.0f, 273.0f, 400.0f, 800.0f}) {
        const float spacing = LadderColumnSpacing(widest);
        // Caption j spans [x_j - lead, x_j - lead + widest]; caption j + 1 starts at x_j + spacing - lead.
        EXPECT_LE(widest + kLadderCaptionGap, spacing) << widest;
        EXPECT_FLOAT_EQ(LadderLeftMargin(2, 2000.0f, spacing), (2000.0f - spacing) / 2.0f);
    }
    // IPv4 captions: 100 px past the last life line, as before.
    EXPECT_FLOAT_EQ(LadderContentWidth(110.0f, 300.0f, {84.0f, 105.0f, 98.0f}), 110.0f + 600.0f + 100.0f);
    // Three full IPv6 captions in a 820-px diagram: the last ends at 110 + 600 - 40 + 273.
    EXPECT_FLOAT_EQ(LadderContentWidth(110.0f, 300.0f, {273.0f, 273.0f, 273.0f}),
                    110.0f + 600.0f - kLadderCaptionLead + 273.0f);
    // Any lane's caption counts, not only the last one's.
    EXPECT_FLOAT_EQ(LadderContentWidth(50.0f, 300.0f, {100.0f, 900.0f, 100.0f}),
                    50.0f + 300.0f - kLadderCaptionLead + 900.0f);
    EXPECT_FLOAT_EQ(LadderContentWidth(50.0f, 300.0f, {}), 0.0f);
}

TEST(FlowTabLadderLayout, ArrowGeometryHeadsLabelsAndSelectionAreas) {
    // Left to right, message 2, diagram at (100, 200), columns at 350 and 650.
    LadderArrow a = LadderArrowGeometry(100.0f, 200.0f, 350.0f, 650.0f, 2);
    EXPECT_FLOAT_EQ(a.y, 200.0f + 60.0f + 80.0f);
    EXPECT_FLOAT_EQ(a.x1, 450.0f);
    EXPECT_FLOAT_EQ(a.x2, 750.0f);
    EXPECT_FLOAT_EQ(a.lineEndX, 450.0f + 0.98f * 300.0f);
    EXPECT_FLOAT_EQ(a.head[0], 750.0f);
    EXPECT_FLOAT_EQ(a.head[2], 742.0f);
    EXPECT_FLOAT_EQ(a.head[3], a.y - 4.0f);
    EXPECT_FLOAT_EQ(a.head[5], a.y + 4.0f);
    EXPECT_FLOAT_EQ(a.labelX, 600.0f - 60.0f);
    EXPECT_FLOAT_EQ(a.labelY, a.y - 15.0f);
    EXPECT_FLOAT_EQ(a.selectX, 450.0f);
    EXPECT_FLOAT_EQ(a.selectY, a.y - 10.0f);
    EXPECT_FLOAT_EQ(a.selectW, 300.0f);
    EXPECT_FLOAT_EQ(a.selectH, 20.0f);

    // Right to left: the head points left, the selection area still starts at the left end.
    a = LadderArrowGeometry(0.0f, 0.0f, 650.0f, 350.0f, 0);
    EXPECT_FLOAT_EQ(a.head[2], 358.0f);
    EXPECT_FLOAT_EQ(a.selectX, 350.0f);
    EXPECT_FLOAT_EQ(a.selectW, 300.0f);

    // Both ends in one column: no length, but a clickable 20 px area centred on the column.
    a = LadderArrowGeometry(0.0f, 0.0f, 350.0f, 350.0f, 0);
    EXPECT_FLOAT_EQ(a.selectW, kLadderMinSelectWidth);
    EXPECT_FLOAT_EQ(a.selectX, 340.0f);
}

TEST(FlowTabLadderColours, ArrowColourPerMessageKindOfARealCall) {
    const auto calls = CallsOf("01_basic_call_caller_bye.pcap");
    const SipCall* call = Find(calls, "1-21527@192.168.1.50");
    ASSERT_NE(call, nullptr);
    const FlowRgba green{0, 255, 0, 255}, yellow{255, 255, 0, 255}, red{255, 50, 50, 255},
        white{255, 255, 255, 255}, magenta{255, 100, 255, 255};
    std::vector<std::string> seen;
    for (const SipMessage& m : call->messages) {
        const FlowRgba c = LadderArrowColour(m, false);
        if (m.type == SipMsgType::Rtp) {
            EXPECT_EQ(c, white);
        } else if (m.isRequest && m.method == "INVITE") {
            EXPECT_EQ(c, green);
        } else if (m.isRequest && m.method == "ACK") {
            EXPECT_EQ(c, green);
        } else if (m.type == SipMsgType::Bye) {
            EXPECT_EQ(c, red) << "BYE request and its 200 are both red";
        } else if (m.statusCode == 100 || m.statusCode == 180) {
            EXPECT_EQ(c, yellow);
        } else if (m.statusCode == 200) {
            EXPECT_EQ(c, green);
        }
        // The selected arrow is magenta whatever it is.
        EXPECT_EQ(LadderArrowColour(m, true), magenta);
        seen.push_back(m.method);
    }
    EXPECT_EQ(call->messages.size(), 9u) << "7 SIP messages and 2 RTP flow entries";

    const auto busy = CallsOf("04_call_busy_486.pcap");
    ASSERT_EQ(busy.size(), 1u);
    bool saw486 = false;
    for (const SipMessage& m : busy[0].messages) {
        if (m.statusCode == 486) {
            saw486 = true;
            EXPECT_EQ(LadderArrowColour(m, false), red);
        }
    }
    EXPECT_TRUE(saw486);
}

TEST(FlowTabLadderLabels, SipRequestsResponsesAndRtpEntries) {
    CallTracker tracker;
    const std::string invite =
        "INVITE sip:2000@10.0.0.2 SIP/2.0\r\nFrom: <sip:1000@10.0.0.1>;tag=a\r\nTo: <sip:2000@10.0.0.2>\r\n"
        "Call-ID: lbl-1\r\nCSeq: 1 INVITE\r\nContent-Type: application/sdp\r\n\r\nv=0\r\n"
        "m=audio 40000 RTP/AVP 8\r\n";
    tracker.ProcessPacket(MakePacket("12:34:56.789", "10.0.0.1:5060", "10.0.0.2:5060", invite));
    tracker.ProcessPacket(
        MakePacket("12:34:56.900", "10.0.0.2:5060", "10.0.0.1:5060", SipResponse("180 Ringing", "lbl-1", "INVITE")));
    std::string rtp(172, '\0');
    rtp[0] = '\x80';
    rtp[1] = '\x88';  // marker bit + payload type 8
    tracker.ProcessPacket(MakePacket("12:34:57.000", "10.0.0.2:30000", "10.0.0.1:40000", rtp));

    auto calls = tracker.GetCalls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].messages.size(), 3u);
    EXPECT_EQ(LadderLabel(calls[0].messages[0]), "12:34:56 INVITE");
    EXPECT_EQ(LadderLabel(calls[0].messages[1]), "12:34:56 180 Ringing");
    // A new flow shows the part after the address line, without "Codec: ".
    EXPECT_EQ(LadderLabel(calls[0].messages[2]), "(G711a/PT:8) - 1 [172b]");

    tracker.ProcessPacket(MakePacket("12:34:57.020", "10.0.0.2:30000", "10.0.0.1:40000", rtp));
    calls = tracker.GetCalls();
    EXPECT_EQ(LadderLabel(calls[0].messages[2]), "RTP (G711a/PT:8) - 2 [172b]");

    SipMessage bare;
    bare.type = SipMsgType::Rtp;
    bare.text = "RTP (Dyn/PT:96) - 3 [20b]";
    EXPECT_EQ(LadderLabel(bare), bare.text);
    SipMessage shortTime;
    shortTime.time = "1:2";
    shortTime.isRequest = true;
    shortTime.method = "OPTIONS";
    EXPECT_EQ(LadderLabel(shortTime), "1:2 OPTIONS");
    // DTMF: a telephone-event entry and an INFO that carries a digit name it.
    SipMessage event;
    event.time = "12:00:01.500";
    event.type = SipMsgType::Dtmf;
    event.method = "DTMF";
    event.digit = '7';
    EXPECT_EQ(LadderLabel(event), "12:00:01 DTMF 7");
    SipMessage info;
    info.time = "12:00:02.000";
    info.isRequest = true;
    info.method = "INFO";
    info.text = "INFO sip:x SIP/2.0\r\nContent-Type: application/dtmf-relay\r\n\r\nSignal=*\r\n";
    EXPECT_EQ(LadderLabel(info), "12:00:02 INFO (DTMF *)");
}

TEST(FlowTabCallList, MethodCellOfACallThatStartsWithAResponse) {
    CallTracker tracker;
    tracker.ProcessPacket(
        MakePacket("10:00:00.000", "10.0.0.2:5060", "10.0.0.1:5060", SipResponse("200 OK", "resp-first", "INVITE")));
    const auto rows = tracker.GetCallRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].firstMethod, "OK");
    EXPECT_EQ(CallMethodColour("OK"), (FlowRgbf{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(CallMethodColour("INVITE"), (FlowRgbf{1.0f, 0.2f, 0.2f}));
    EXPECT_EQ(CallMethodColour("REGISTER"), (FlowRgbf{0.2f, 0.6f, 1.0f}));
    EXPECT_EQ(CallMethodColour("OPTIONS"), (FlowRgbf{1.0f, 1.0f, 0.0f}));
    EXPECT_EQ(DisplayStatusColour("Sucesso"), DisplayStatusColour("Em andamento"));
    EXPECT_EQ(DisplayStatusColour("Insucesso"), (FlowRgbf{1.0f, 0.4f, 0.4f}));
    EXPECT_EQ(DisplayStatusColour("Tentando..."), (FlowRgbf{0.6f, 0.8f, 1.0f}));
}

// The table reads light rows instead of full records; they must say what the records say.
TEST(FlowTabCallList, RowsMatchTheFullRecordsOfRealCaptures) {
    CallTracker tracker;
    for (const char* file : {"10_batch_20_calls.pcap", "03_call_cancelled.pcap", "06a_register_401_200.pcap",
                             "06b_register_403.pcap", "07b_options_unanswered.pcap"})
        Feed(tracker, ReadCapture(file));
    const auto calls = tracker.GetCalls();
    const auto rows = tracker.GetCallRows();
    ASSERT_EQ(rows.size(), calls.size());
    ASSERT_EQ(rows.size(), 24u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const SipCall& c = calls[i];
        const SipCallRow& r = rows[i];
        EXPECT_EQ(r.callId, c.callId);
        EXPECT_EQ(r.time, c.time);
        EXPECT_EQ(r.fromUser, c.fromUser);
        EXPECT_EQ(r.toUser, c.toUser);
        EXPECT_EQ(r.callerIp, c.callerIp);
        EXPECT_EQ(r.calleeIp, c.calleeIp);
        EXPECT_EQ(r.firstMethod, c.messages.empty() ? "?" : c.messages.front().method);
        EXPECT_EQ(r.messageCount, c.messages.size());
        EXPECT_EQ(r.isInvite, c.isInvite);
        EXPECT_EQ(r.displayStatus, DisplayStatus(c));
        EXPECT_EQ(r.hangupOrigin, c.hangupOrigin);
        const auto one = tracker.GetCall(c.callId);
        ASSERT_TRUE(one);
        EXPECT_EQ(one->messages.size(), c.messages.size());
    }
    const FlowCounters counters = tracker.Counters();
    EXPECT_EQ(counters.calls, 21u);
    EXPECT_EQ(counters.registers, 2u);
    EXPECT_FALSE(tracker.GetCall("no-such-call"));
    EXPECT_EQ(KindOfRecord(false, 0, SipMsgType::Register), RecordKind::Other) << "no message, no register";
}

TEST(FlowTabCounters, LossIsShownOnceThereIsOne) {
    const FlowCounters calls{3, 1};
    EXPECT_EQ(FlowCountersLine(120, calls, 0, 0, 0), "| Total Pkts: 120 | Chamadas: 3 | Registers: 1");
    EXPECT_EQ(FlowCountersLine(120, calls, 7, 0, 0),
              "| Total Pkts: 120 | Chamadas: 3 | Registers: 1 | Descartados: 7 | Perdidos (kernel): 0");
    EXPECT_EQ(FlowCountersLine(120, calls, 0, 4294967301ull, 0),
              "| Total Pkts: 120 | Chamadas: 3 | Registers: 1 | Descartados: 0 | Perdidos (kernel): 4294967301");
    EXPECT_EQ(FlowCountersLine(0, {}, 0, 0, 250), "| Total Pkts: 0 | Chamadas: 0 | Registers: 0 | Registros removidos: 250");
    EXPECT_EQ(FlowCountersLine(5, {}, 0, 0, 0, FlowDropCounts{3, 0, 0}),
              "| Total Pkts: 5 | Chamadas: 0 | Registers: 0 | Fragmentos descartados: 3");
    EXPECT_EQ(FlowCountersLine(5, {}, 0, 0, 0, FlowDropCounts{0, 1200, 2000}),
              "| Total Pkts: 5 | Chamadas: 0 | Registers: 0 | Bytes TCP perdidos: 1200 | Fluxos RTP removidos: 2000");
}

TEST(FlowTabRawWindow, LineTooltipAndFilter) {
    PacketLogEntry p = MakePacket("08:09:10.111", "10.0.0.1:5060", "10.0.0.2:5060",
                                  SipRequest("INVITE", "raw-1", "<sip:1@a>", "<sip:2@b>", "INVITE"));
    p.info = "5060 -> 5060";
    p.wireLength = 512;
    EXPECT_EQ(RawPacketLine(p), "[08:09:10.111] UDP Len:512 5060 -> 5060");

    EXPECT_TRUE(RawPacketMatches(p, ""));
    EXPECT_TRUE(RawPacketMatches(p, "UDP"));
    EXPECT_TRUE(RawPacketMatches(p, "UDP 5060"));  // across protocol and info
    EXPECT_TRUE(RawPacketMatches(p, "INVITE"));    // in the payload
    EXPECT_FALSE(RawPacketMatches(p, "invite"));   // case-sensitive
    EXPECT_FALSE(RawPacketMatches(p, "TCP"));

    PacketLogEntry big = MakePacket("08:09:10.112", "a", "b", std::string(800, 'x'));
    big.rawData[big.payloadOffset + 3] = 0;  // a zero byte must not end the text early
    const std::string tip = RawPacketTooltip(big);
    EXPECT_EQ(tip.size(), 503u);
    EXPECT_EQ(tip.substr(500), "...");
    EXPECT_EQ(tip[3], '.');
    PacketLogEntry exact = MakePacket("t", "a", "b", std::string(500, 'y'));
    EXPECT_EQ(RawPacketTooltip(exact), std::string(500, 'y'));
}
