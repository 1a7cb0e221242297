// Media found through what the SDP announced, and RTP streams nobody signalled.
#include <gtest/gtest.h>

#include "FlowTestUtil.h"
#include "flow/SdpReader.h"

using namespace flowtest;

namespace {

std::string Sdp(const std::string& sessionC, const std::string& media) {
    return "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\n" + sessionC + "t=0 0\r\n" + media;
}

// A SIP message with the given SDP body.
std::string SipWith(const std::string& startLine, const std::string& callId, const std::string& cseq,
                    const std::string& sdp) {
    return startLine + "\r\nVia: SIP/2.0/UDP x;branch=z9hG4bK\r\nFrom: <sip:1001@a>;tag=1\r\nTo: <sip:2001@b>\r\n"
           "Call-ID: " + callId + "\r\nCSeq: " + cseq + "\r\nContent-Type: application/sdp\r\nContent-Length: " +
           std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

// RTP with sequence number `seq`, timestamp 160 * seq, SSRC `ssrc`, PCMA.
std::vector<uint8_t> RtpSeq(uint16_t seq, uint32_t ssrc = 0x11223344) {
    std::vector<uint8_t> p = Rtp(8);
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    const uint32_t ts = 160u * seq;
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    return p;
}

uint32_t RtpCount(const SipCall& c) {
    uint32_t n = 0;
    for (const SipMessage* f : RtpEntries(c)) n += f->count;
    return n;
}

}  // namespace

TEST(SdpAudioEndpoint, MediaLevelAddressWinsOverSessionLevel) {
    const auto e = ReadSdpAudioEndpoint(SipWith("INVITE sip:x SIP/2.0", "a", "1 INVITE",
        Sdp("c=IN IP4 198.51.100.1\r\n", "m=video 0 RTP/AVP 31\r\nm=audio 0 RTP/AVP 0\r\n"
            "m=audio 4000 RTP/AVP 8\r\nc=IN IP4 203.0.113.9/127\r\nm=audio 5000 RTP/AVP 0\r\n")));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Text(), "203.0.113.9:4000");
    const auto session = ReadSdpAudioEndpoint(SipWith("SIP/2.0 183 Session Progress", "a", "1 INVITE",
        Sdp("c=IN IP4 212.242.33.36\r\n", "m=audio 40376 RTP/AVP 8 101\r\n")));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->Text(), "212.242.33.36:40376");
    const auto v6 = ReadSdpAudioEndpoint(SipWith("INVITE sip:x SIP/2.0", "a", "1 INVITE",
        Sdp("c=IN IP6 2001:db8::7\n", "m=audio 6000 RTP/AVP 0\n")));
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->Text(), "[2001:db8::7]:6000");
    // On hold (RFC 3264 8.4), no address, or a mismatched address type: nothing announced.
    EXPECT_FALSE(ReadSdpAudioEndpoint(SipWith("INVITE sip:x SIP/2.0", "a", "1 INVITE",
        Sdp("c=IN IP4 0.0.0.0\r\n", "m=audio 4000 RTP/AVP 0\r\n"))));
    EXPECT_FALSE(ReadSdpAudioEndpoint(SipWith("INVITE sip:x SIP/2.0", "a", "1 INVITE",
        Sdp("", "m=audio 4000 RTP/AVP 0\r\n"))));
    EXPECT_FALSE(ReadSdpAudioEndpoint(SipWith("INVITE sip:x SIP/2.0", "a", "1 INVITE",
        Sdp("c=IN IP6 198.51.100.1\r\n", "m=audio 4000 RTP/AVP 0\r\n"))));
    EXPECT_FALSE(ReadSdpAudioEndpoint("m=audio 4000 RTP/AVP 0\r\nc=IN IP4 1.2.3.4\r\n"));  // no body
}

// The SIP peers are a proxy pair; the media runs between an SBC and a media server that only
// the SDP names. Before, such a call showed no RTP at all.
TEST(MediaBySdp, MediaAnchoredAwayFromTheSipPeersJoinsItsCall) {
    CallTracker t;
    const std::string proxyA = "10.0.0.35:5060", proxyB = "10.0.0.40:5060";
    Feed(t, proxyA, proxyB, SipWith("INVITE sip:2001@b SIP/2.0", "c1", "1 INVITE",
                                    Sdp("c=IN IP4 10.1.1.1\r\n", "m=audio 20000 RTP/AVP 8\r\n")));
    Feed(t, proxyB, proxyA, SipWith("SIP/2.0 183 Session Progress", "c1", "1 INVITE",
                                    Sdp("c=IN IP4 212.242.33.36\r\n", "m=audio 40376 RTP/AVP 8\r\n")));
    Feed(t, proxyB, proxyA, SipWith("SIP/2.0 200 OK", "c1", "1 INVITE",
                                    Sdp("c=IN IP4 212.242.33.36\r\n", "m=audio 40376 RTP/AVP 8\r\n")));
    // A second call between the same proxies whose media goes elsewhere.
    Feed(t, proxyA, proxyB, SipWith("INVITE sip:2002@b SIP/2.0", "c2", "1 INVITE",
                                    Sdp("c=IN IP4 10.1.1.2\r\n", "m=audio 20002 RTP/AVP 8\r\n")));
    for (uint16_t i = 0; i < 5; ++i) {
        FeedRtp(t, "10.1.1.1:20000", "212.242.33.36:40376", RtpSeq(i, 1));   // to the answer
        FeedRtp(t, "212.242.33.36:40376", "10.1.1.1:20000", RtpSeq(i, 2));   // to the offer
    }
    FeedRtp(t, "10.1.1.2:20002", "192.0.2.99:30000", RtpSeq(0, 3));  // from c2's offer
    const auto calls = t.GetCalls();
    const SipCall* c1 = FindCall(calls, "c1");
    const SipCall* c2 = FindCall(calls, "c2");
    ASSERT_TRUE(c1 && c2);
    ASSERT_EQ(RtpEntries(*c1).size(), 2u);
    EXPECT_EQ(RtpCount(*c1), 10u);
    EXPECT_EQ(RtpEntries(*c1)[0]->sourceIp, "10.1.1.1");
    EXPECT_EQ(RtpEntries(*c1)[0]->destinationIp, "212.242.33.36");
    EXPECT_EQ(RtpCount(*c2), 1u);
    const std::string id = "c1";
    const auto streams = t.GetStreamReports(&id);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].packets, 5u);
    EXPECT_TRUE(streams[0].mosAdaptive.has_value());
}

// A re-INVITE moves the media: packets to the new address follow the call, packets to the
// old one no longer do, and the later of two calls announcing one endpoint takes it.
TEST(MediaBySdp, ReInviteMovesTheMediaAndTheLatestAnnouncementWins) {
    CallTracker t;
    const std::string a = "10.0.0.1:5060", b = "10.0.0.2:5060";
    Feed(t, a, b, SipWith("INVITE sip:2001@b SIP/2.0", "m1", "1 INVITE",
                          Sdp("c=IN IP4 10.9.0.1\r\n", "m=audio 7000 RTP/AVP 8\r\n")));
    FeedRtp(t, "192.0.2.5:9000", "10.9.0.1:7000", RtpSeq(1));
    Feed(t, a, b, SipWith("INVITE sip:2001@b SIP/2.0", "m1", "2 INVITE",
                          Sdp("c=IN IP4 10.9.0.2\r\n", "m=audio 7002 RTP/AVP 8\r\n")));
    FeedRtp(t, "192.0.2.5:9000", "10.9.0.2:7002", RtpSeq(2));
    FeedRtp(t, "192.0.2.5:9000", "10.9.0.1:7000", RtpSeq(3));  // the old address: nobody's now
    Feed(t, a, b, SipWith("INVITE sip:2001@b SIP/2.0", "m2", "1 INVITE",
                          Sdp("c=IN IP4 10.9.0.2\r\n", "m=audio 7002 RTP/AVP 8\r\n")));
    FeedRtp(t, "192.0.2.5:9000", "10.9.0.2:7002", RtpSeq(4));
    const auto calls = t.GetCalls();
    EXPECT_EQ(RtpCount(*FindCall(calls, "m1")), 2u);
    EXPECT_EQ(RtpCount(*FindCall(calls, "m2")), 1u);
}

// The next call sends from the same ports with the same SSRC and sequence numbers (a device
// that replays its prompt, a test peer): its packets make a stream of that call, and neither
// call's report counts the other's packets as duplicates.
TEST(MediaBySdp, NextCallFromTheSamePortsAndSsrcHasStreamsOfItsOwn) {
    CallTracker t;
    for (const std::string id : {"n1", "n2"}) {
        Feed(t, "10.0.0.1:5060", "10.0.0.2:5060", SipWith("INVITE sip:2001@b SIP/2.0", id, "1 INVITE",
                                                          Sdp("c=IN IP4 10.9.0.1\r\n", "m=audio 7000 RTP/AVP 8\r\n")));
        for (uint16_t seq = 0; seq < 5; ++seq) FeedRtp(t, "192.0.2.5:9000", "10.9.0.1:7000", RtpSeq(seq));
        Feed(t, "10.0.0.1:5060", "10.0.0.2:5060", SipWith("BYE sip:2001@b SIP/2.0", id, "2 BYE", ""));
    }
    for (const std::string id : {"n1", "n2"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(RtpCount(*FindCall(t.GetCalls(), id)), 5u);
        const auto streams = t.GetStreamReports(&id);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0].packets, 5u);
        EXPECT_EQ(streams[0].duplicates, 0u);
    }
}

// Media between the caller and the callee still follows the older rule: by their
// addresses and announced ports, whatever the SDP's c= line says.
TEST(MediaBySdp, MediaBetweenTheSipPeersKeepsItsRule) {
    CallTracker t;
    Feed(t, "10.0.0.1:5060", "10.0.0.2:5060", Sip("INVITE sip:2001@b SIP/2.0", "p", "1 INVITE", 16400));
    FeedRtp(t, "10.0.0.1:16400", "10.0.0.2:30000", Rtp(8));
    FeedRtp(t, "10.0.0.1:16401", "10.0.0.2:30000", Rtp(8));  // no announced port: dropped
    EXPECT_EQ(RtpCount(t.GetCalls()[0]), 1u);
}

// A capture started mid-call: no SIP at all, yet the stream is found once it looks like RTP,
// measured from its first packet, and joins the call when the signalling turns up.
TEST(UnsignalledRtp, StreamsWithoutSignallingAreFoundAndMeasured) {
    CallTracker t;
    for (uint16_t seq = 100; seq < 150; ++seq) {
        if (seq == 120) continue;  // one lost
        FeedRtp(t, "198.51.100.7:40000", "192.168.0.10:10000", RtpSeq(seq, 0xAA),
                "10:00:0" + std::to_string((seq - 100) / 10) + ".000");
    }
    // Not RTP: a counter that looks like nothing steady, a payload on the SIP port.
    for (uint8_t i = 0; i < 10; ++i) {
        std::vector<uint8_t> noise = RtpSeq(static_cast<uint16_t>(i * 7), 0xBB + i);
        FeedRtp(t, "198.51.100.8:40000", "192.168.0.10:10002", noise);
        FeedRtp(t, "198.51.100.9:5060", "192.168.0.10:10004", RtpSeq(i, 0xCC));
    }
    const auto streams = t.GetStreamReports();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].callId, "");
    EXPECT_EQ(streams[0].source, "198.51.100.7:40000");
    EXPECT_EQ(streams[0].packets, 49u);
    EXPECT_EQ(streams[0].lost, 1);
    EXPECT_TRUE(t.GetCalls().empty());

    // The call's INVITE arrives after all (a retransmission, a re-INVITE): the stream joins it.
    Feed(t, "192.168.0.10:5060", "198.51.100.7:5060", Sip("INVITE sip:2001@b SIP/2.0", "late", "1 INVITE", 10000));
    FeedRtp(t, "198.51.100.7:40000", "192.168.0.10:10000", RtpSeq(150, 0xAA));
    const auto after = t.GetStreamReports();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].callId, "late");
    EXPECT_EQ(after[0].packets, 50u);
}
