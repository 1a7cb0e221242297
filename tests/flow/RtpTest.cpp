#include <gtest/gtest.h>

#include <memory>

#include "FlowTestUtil.h"
#include "flow/CallTracker.h"

using namespace flowtest;

namespace {

const std::string A = "192.168.1.50:5060";
const std::string B = "203.0.113.10:5060";
const std::string Arp = "192.168.1.50:16400";
const std::string Brp = "203.0.113.10:12000";

// RtpEntries points into the record: keep the copies alive for the whole test.
const SipCall& Keep(const SipCall& call) {
    static std::vector<std::unique_ptr<SipCall>> kept;
    kept.push_back(std::make_unique<SipCall>(call));
    return *kept.back();
}

// INVITE with SDP 16400 and 200 with SDP 12000 between A and B.
void SetUpCall(CallTracker& t, const std::string& id = "c1", int callerPort = 16400, int calleePort = 12000) {
    Feed(t, A, B, Sip("INVITE sip:2001@b SIP/2.0", id, "1 INVITE", callerPort));
    Feed(t, B, A, Sip("SIP/2.0 200 OK", id, "1 INVITE", calleePort));
}

TEST(RtpCodec, NamesAndRanks) {
    struct {
        uint8_t pt;
        const char* name;
    } table[] = {{0, "G711u"}, {3, "GSM"}, {4, "G723"},   {8, "G711a"}, {9, "G722"}, {13, "CN"},
                 {18, "G729"}, {101, "DTMF"}, {96, "Dyn"}, {127, "Dyn"}, {77, "PT:77"}, {34, "PT:34"}};
    for (auto row : table) {
        CodecGuess g = NameCodec(Rtp(row.pt | 0x80));  // marker bit must not matter
        EXPECT_EQ(g.name, row.name) << int(row.pt);
        EXPECT_EQ(g.payloadType, std::optional<int>(row.pt));
    }
    EXPECT_EQ(NameCodec(Rtp(8, 4)).name, "Keep-alive");
    EXPECT_EQ(NameCodec(Rtp(8, 1)).name, "Keep-alive");
    EXPECT_FALSE(NameCodec(Rtp(8, 4)).payloadType.has_value());
    EXPECT_EQ(NameCodec(Rtp(8, 5)).name, "UDP Control");
    EXPECT_EQ(NameCodec(Rtp(8, 11)).name, "UDP Control");
    EXPECT_EQ(NameCodec(Rtp(8, 12)).name, "G711a");
    EXPECT_EQ(CodecRank("G711a"), 100);
    EXPECT_EQ(CodecRank("G729"), 100);
    EXPECT_EQ(CodecRank("DTMF"), 50);
    EXPECT_EQ(CodecRank("CN"), 50);
    EXPECT_EQ(CodecRank("Keep-alive"), 1);
    EXPECT_EQ(CodecRank("GSM"), 10);
    EXPECT_EQ(CodecRank("PT:77"), 10);
}

TEST(RtpFlows, LabelsCountsAndDirections) {
    CallTracker t;
    SetUpCall(t);
    FeedRtp(t, Arp, Brp, Rtp(0x88), "10:00:01.500");
    auto call = t.GetCalls()[0];
    auto flows = RtpEntries(call);
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0]->text, "RTP Flow: 192.168.1.50:16400 -> 203.0.113.10:12000\nCodec: (G711a/PT:8) - 1 [172b]");
    EXPECT_EQ(flows[0]->method, "RTP");
    EXPECT_EQ(flows[0]->callId, "c1");
    EXPECT_EQ(flows[0]->time, "10:00:01.500");
    EXPECT_EQ(flows[0]->count, 1u);
    EXPECT_FALSE(flows[0]->isRequest);
    for (int i = 2; i <= 57; ++i) FeedRtp(t, Arp, Brp, Rtp(0x08));
    // DTMF inside the voice flow keeps the name; the label shows this packet's type.
    FeedRtp(t, Arp, Brp, Rtp(101, 16));
    call = t.GetCalls()[0];
    flows = RtpEntries(call);
    EXPECT_EQ(flows[0]->count, 58u);
    EXPECT_EQ(flows[0]->codec, "G711a");
    EXPECT_EQ(flows[0]->text, "RTP (G711a/PT:101) - 58 [16b]");
    FeedRtp(t, Arp, Brp, Rtp(0x08));
    EXPECT_EQ(RtpEntries(Keep(t.GetCalls()[0]))[0]->text, "RTP (G711a/PT:8) - 59 [172b]");

    // Reverse direction: a second entry; other ports between the same hosts count in the same
    // entries once the call is found by either port.
    FeedRtp(t, Brp, Arp, Rtp(8));
    FeedRtp(t, "203.0.113.10:12000", "192.168.1.50:16402", Rtp(8));
    call = t.GetCalls()[0];
    flows = RtpEntries(call);
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[1]->sourceIp, "203.0.113.10");
    EXPECT_EQ(flows[1]->count, 2u);
    // Entries sit where their first packet arrived, between the SIP messages.
    Feed(t, A, B, Sip("BYE sip:2001@b SIP/2.0", "c1", "2 BYE"));
    call = t.GetCalls()[0];
    ASSERT_EQ(call.messages.size(), 5u);
    EXPECT_EQ(call.messages[2].type, SipMsgType::Rtp);
    EXPECT_EQ(call.messages[3].type, SipMsgType::Rtp);
    EXPECT_EQ(call.messages[4].type, SipMsgType::Bye);
}

TEST(RtpFlows, KeepAliveRenamedAndUnknownType) {
    CallTracker t;
    SetUpCall(t);
    FeedRtp(t, Arp, Brp, Rtp(0, 4));
    auto f = RtpEntries(Keep(t.GetCalls()[0]));
    EXPECT_EQ(f[0]->text, "RTP Flow: 192.168.1.50:16400 -> 203.0.113.10:12000\nCodec: (Keep-alive) - 1 [4b]");
    FeedRtp(t, Arp, Brp, Rtp(0, 4));
    EXPECT_EQ(RtpEntries(Keep(t.GetCalls()[0]))[0]->text, "RTP (Keep-alive) - 2 [4b]");
    FeedRtp(t, Arp, Brp, Rtp(0));
    f = RtpEntries(Keep(t.GetCalls()[0]));
    EXPECT_EQ(f[0]->codec, "G711u");
    EXPECT_EQ(f[0]->text, "RTP (G711u/PT:0) - 3 [172b]");
    // A keep-alive after the voice codec keeps the name, and carries no payload type.
    FeedRtp(t, Arp, Brp, Rtp(0, 2));
    EXPECT_EQ(RtpEntries(Keep(t.GetCalls()[0]))[0]->text, "RTP (G711u) - 4 [2b]");

    FeedRtp(t, Brp, Arp, Rtp(77));
    f = RtpEntries(Keep(t.GetCalls()[0]));
    EXPECT_EQ(f[1]->text, "RTP Flow: 203.0.113.10:12000 -> 192.168.1.50:16400\nCodec: (PT:77) - 1 [172b]");
    FeedRtp(t, Brp, Arp, Rtp(77));
    EXPECT_EQ(RtpEntries(Keep(t.GetCalls()[0]))[1]->text, "RTP (PT:77) - 2 [172b]");
    // GSM (rank 10) does not replace PT:77 (rank 10): ties keep the stored name.
    FeedRtp(t, Brp, Arp, Rtp(3));
    EXPECT_EQ(RtpEntries(Keep(t.GetCalls()[0]))[1]->text, "RTP (PT:77) - 3 [172b]");
}

TEST(RtpFlows, CallSelectionByAddressesAndPorts) {
    // A record whose SDP announced no port takes no media, even between its own addresses.
    CallTracker t;
    Feed(t, A, B, Sip("INVITE sip:x SIP/2.0", "early", "1 INVITE"));
    FeedRtp(t, Arp, Brp, Rtp(8));
    EXPECT_TRUE(RtpEntries(Keep(*FindCall(t.GetCalls(), "early"))).empty());

    // Two calls between the same hosts, told apart by their SDP ports.
    CallTracker u;
    SetUpCall(u, "c1", 16400, 12000);
    SetUpCall(u, "c2", 16404, 12004);
    FeedRtp(u, "192.168.1.50:16404", "203.0.113.10:12004", Rtp(8));
    FeedRtp(u, "203.0.113.10:12000", "192.168.1.50:16400", Rtp(8));
    FeedRtp(u, "192.168.1.50:16999", "203.0.113.10:17000", Rtp(8));  // ports of no call: dropped
    FeedRtp(u, "192.168.1.50:x", "203.0.113.10:", Rtp(8));            // no port digits: dropped
    FeedRtp(u, "10.9.9.9:16400", "203.0.113.10:12000", Rtp(8));       // other host: dropped
    FeedRtp(u, "192.168.1.50:99999999999", "203.0.113.10:1", Rtp(8)); // no such port: dropped
    auto calls = u.GetCalls();
    ASSERT_EQ(RtpEntries(*FindCall(calls, "c1")).size(), 1u);
    EXPECT_EQ(RtpEntries(*FindCall(calls, "c1"))[0]->sourceIp, "203.0.113.10");
    ASSERT_EQ(RtpEntries(*FindCall(calls, "c2")).size(), 1u);
    EXPECT_EQ(FindCall(calls, "c1")->messages.size(), 3u);
    EXPECT_EQ(FindCall(calls, "c2")->messages.size(), 3u);

    // No INVITE record at all: nothing is counted, but media fills a REGISTER's addresses.
    CallTracker r;
    Feed(r, A, B, Sip("REGISTER sip:b SIP/2.0", "reg", "1 REGISTER"));
    EXPECT_EQ(r.GetCalls()[0].callerIp, "");
    FeedRtp(r, Arp, Brp, Rtp(8));
    auto regs = r.GetCalls();
    EXPECT_EQ(regs[0].callerIp, "192.168.1.50");
    EXPECT_EQ(regs[0].calleeIp, "203.0.113.10");
    EXPECT_EQ(regs[0].messages.size(), 1u);
}

TEST(RtpFlows, SoftphoneReusingItsPortAcrossCalls) {
    // A softphone announces the same RTP port in two calls to the same PBX. While the second
    // call is live its media is its own; the first call, ended, keeps its count.
    CallTracker t;
    SetUpCall(t, "first", 16400, 12000);
    FeedRtp(t, Arp, Brp, Rtp(8));
    Feed(t, A, B, Sip("BYE sip:x SIP/2.0", "first", "2 BYE"));
    SetUpCall(t, "second", 16400, 12002);
    FeedRtp(t, Arp, "203.0.113.10:12002", Rtp(8));
    FeedRtp(t, "203.0.113.10:12002", Arp, Rtp(8));
    // Even a packet to the first call's far port: the live record announcing 16400 wins.
    FeedRtp(t, Arp, Brp, Rtp(8));
    auto calls = t.GetCalls();
    ASSERT_EQ(RtpEntries(*FindCall(calls, "first")).size(), 1u);
    EXPECT_EQ(RtpEntries(*FindCall(calls, "first"))[0]->count, 1u);
    ASSERT_EQ(RtpEntries(*FindCall(calls, "second")).size(), 2u);
    EXPECT_EQ(RtpEntries(*FindCall(calls, "second"))[0]->count, 2u);

    // The second call ends too: the newest ended record takes late media.
    Feed(t, B, A, Sip("BYE sip:x SIP/2.0", "second", "2 BYE"));
    FeedRtp(t, Arp, Brp, Rtp(8));
    calls = t.GetCalls();
    EXPECT_EQ(RtpEntries(*FindCall(calls, "second"))[0]->count, 3u);
    EXPECT_EQ(RtpEntries(*FindCall(calls, "first"))[0]->count, 1u);

    // Of two live calls announcing the port, the newer one takes the media; a live record
    // beats an ended one whatever their Call-IDs.
    CallTracker u;
    SetUpCall(u, "zz-old", 16400, 12000);
    SetUpCall(u, "aa-new", 16400, 12000);
    FeedRtp(u, Arp, Brp, Rtp(8));
    EXPECT_EQ(RtpEntries(*FindCall(u.GetCalls(), "aa-new")).size(), 1u);
    EXPECT_TRUE(RtpEntries(*FindCall(u.GetCalls(), "zz-old")).empty());
    Feed(u, A, B, Sip("CANCEL sip:x SIP/2.0", "aa-new", "1 CANCEL"));
    FeedRtp(u, Arp, Brp, Rtp(8));
    EXPECT_EQ(RtpEntries(*FindCall(u.GetCalls(), "zz-old")).size(), 1u);
}

TEST(RtpFlows, InviteWithoutSdpFromTheSameAddress) {
    // The phone is in a call when a second INVITE without SDP leaves the same address (a
    // transfer, a second line): the live call keeps its media.
    CallTracker t;
    SetUpCall(t, "talking", 16400, 12000);
    Feed(t, A, B, Sip("INVITE sip:3001@b SIP/2.0", "no-sdp", "1 INVITE"));
    Feed(t, B, A, Sip("SIP/2.0 180 Ringing", "no-sdp", "1 INVITE"));
    FeedRtp(t, Arp, Brp, Rtp(8));
    FeedRtp(t, Brp, Arp, Rtp(8));
    auto calls = t.GetCalls();
    EXPECT_EQ(RtpEntries(*FindCall(calls, "talking")).size(), 2u);
    EXPECT_TRUE(RtpEntries(*FindCall(calls, "no-sdp")).empty());
    // Its SDP comes with the 200 (late offer): from then on its own port is its own.
    Feed(t, B, A, Sip("SIP/2.0 200 OK", "no-sdp", "1 INVITE", 12010));
    FeedRtp(t, "203.0.113.10:12010", "192.168.1.50:16410", Rtp(0));
    calls = t.GetCalls();
    ASSERT_EQ(RtpEntries(*FindCall(calls, "no-sdp")).size(), 1u);
    EXPECT_EQ(RtpEntries(*FindCall(calls, "no-sdp"))[0]->codec, "G711u");
    EXPECT_EQ(RtpEntries(*FindCall(calls, "talking"))[0]->count, 1u);
}

}  // namespace
