#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flow/SipFraming.h"

namespace {

const std::string kSdp =
    "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 10.0.0.1\r\nt=0 0\r\nm=audio 40000 RTP/AVP 8\r\n";

std::string Invite(const std::string& lengthHeader = "Content-Length") {
    return "INVITE sip:2001@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/TCP 10.0.0.1;branch=z9hG4bK1\r\nCall-ID: c1\r\n" +
           lengthHeader + ": " + std::to_string(kSdp.size()) + "\r\n\r\n" + kSdp;
}
const std::string kBye = "BYE sip:2001@10.0.0.2 SIP/2.0\r\nCall-ID: c1\r\nCSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n";
const std::string kOk = "SIP/2.0 200 OK\r\nCall-ID: c1\r\nCSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n";

// A framer, the messages it gave and the bytes fed, so that every test can check that each
// byte was accounted for exactly once.
struct Framed {
    SipFramerCounters counters;
    SipFramer framer{counters};
    std::vector<std::string> messages;
    uint64_t fed = 0;

    explicit Framed(bool atBoundary = true) : framer(counters, atBoundary) {}
    void Feed(std::string_view bytes) {
        fed += bytes.size();
        framer.Feed(bytes, [this](std::string_view m) { messages.emplace_back(m); });
    }
    void ExpectAccounted(uint64_t stillBuffered) const {
        EXPECT_EQ(counters.messageBytes + counters.keepAliveBytes + counters.skippedBytes + counters.unfinishedBytes +
                      stillBuffered,
                  fed);
    }
};

TEST(SipFraming, StartLines) {
    for (const char* yes : {"INVITE sip:a@b SIP/2.0", "x-custom.Method sip:a SIP/2.0", "ACK sip:a sip/2.0",
                            "SIP/2.0 200 OK", "SIP/2.0 180", "sip/2.0 486 Busy Here", "BYE sip:a SIP/2.0 \t"})
        EXPECT_TRUE(LooksLikeSipStartLine(yes)) << yes;
    for (const char* no : {"", "INVITE", "INVITE SIP/2.0", "INVITE  SIP/2.0", "INVITE sip:a b SIP/2.0",
                           "Via: SIP/2.0/TCP 10.0.0.1", "IN(VITE sip:a SIP/2.0", "SIP/2.0 20 OK", "SIP/2.0 200OK",
                           "SIP/2.0 2x0 OK", "INVITE sip:a SIP/2.0x", " INVITE sip:a SIP/2.0"})
        EXPECT_FALSE(LooksLikeSipStartLine(no)) << no;
}

TEST(SipFraming, EverySplitPointGivesTheSameMessages) {
    // Whole, or cut anywhere: inside CR LF CR LF, the Content-Length digits, the body, an
    // RFC 5626 ping ("\r\n\r\n") or pong ("\r\n") between messages.
    const std::string stream = "\r\n\r\n" + Invite() + "\r\n" + kBye + kOk + "\r\n\r\n";
    const std::vector<std::string> expected{Invite(), kBye, kOk};
    for (size_t cut = 0; cut < stream.size(); ++cut) {
        Framed f;
        f.Feed(std::string_view(stream).substr(0, cut));
        f.Feed(std::string_view(stream).substr(cut));
        ASSERT_EQ(f.messages, expected) << "cut at " << cut;
        ASSERT_EQ(f.counters.keepAliveBytes, 10u) << "cut at " << cut;
        EXPECT_EQ(f.counters.resyncs, 0u);
        EXPECT_EQ(f.framer.Buffered(), 0u);
        f.ExpectAccounted(0);
    }
    Framed bytewise;
    for (char c : stream) bytewise.Feed(std::string_view(&c, 1));
    EXPECT_EQ(bytewise.messages, expected);
}

TEST(SipFraming, LengthHeaderForms) {
    Framed f;
    f.Feed(Invite("l") + Invite("content-length") + Invite("Content-Length  "));
    EXPECT_EQ(f.messages,
              (std::vector<std::string>{Invite("l"), Invite("content-length"), Invite("Content-Length  ")}));

    // No Content-Length: no body on a stream; bare LF line ends as SipParser takes them.
    Framed g;
    const std::string bare = "OPTIONS sip:a SIP/2.0\nCall-ID: o1\n\n";
    g.Feed(bare + "SIP/2.0 200 OK\r\nCall-ID: o1\r\n\r\n");
    EXPECT_EQ(g.messages, (std::vector<std::string>{bare, "SIP/2.0 200 OK\r\nCall-ID: o1\r\n\r\n"}));

    // Not a number: the header part alone, counted; the body then reads as garbage.
    Framed h;
    h.Feed("BYE sip:a SIP/2.0\r\nContent-Length: 1x\r\n\r\nz\r\n" + kBye);
    EXPECT_EQ(h.messages, (std::vector<std::string>{"BYE sip:a SIP/2.0\r\nContent-Length: 1x\r\n\r\n", kBye}));
    EXPECT_EQ(h.counters.badContentLengths, 1u);
    EXPECT_EQ(h.counters.skippedBytes, 3u);
    h.ExpectAccounted(0);

    // Just at the bound: still waited for (one past it is in the TCP tests).
    Framed g2;
    g2.Feed("INVITE sip:a SIP/2.0\r\nl: " + std::to_string(kMaxSipBodyBytes) + "\r\n\r\n");
    g2.Feed(std::string(kMaxSipBodyBytes, 'b'));
    EXPECT_EQ(g2.messages.size(), 1u);
}

TEST(SipFraming, GarbageIsSkippedToTheNextStartLine) {
    Framed f;
    f.Feed(kBye + "\x16\x03\x01 not sip\r\nVia: SIP/2.0/TCP x\r\n" + kOk);
    EXPECT_EQ(f.messages, (std::vector<std::string>{kBye, kOk}));
    EXPECT_EQ(f.counters.resyncs, 1u);
    EXPECT_EQ(f.counters.skippedBytes, 33u);
    f.ExpectAccounted(0);

    // Picked up mid-stream: the tail of a body before the first start line is no lost boundary.
    Framed mid(false);
    mid.Feed(kSdp.substr(7) + kOk);
    EXPECT_EQ(mid.messages, (std::vector<std::string>{kOk}));
    EXPECT_EQ(mid.counters.resyncs, 0u);
    EXPECT_EQ(mid.counters.skippedBytes, kSdp.size() - 7);
}

TEST(SipFraming, HoleDropsThePartialMessage) {
    Framed f;
    const std::string invite = Invite();
    f.Feed(invite.substr(0, 100));
    f.framer.Resynchronise();
    // Right after the hole a start line is taken even without a line end before it.
    f.Feed(kBye);
    EXPECT_EQ(f.messages, (std::vector<std::string>{kBye}));
    EXPECT_EQ(f.counters.unfinishedBytes, 100u);
    EXPECT_EQ(f.counters.resyncs, 1u);
    f.ExpectAccounted(0);

    // The stream's end drops what is partial too.
    f.Feed(kOk.substr(0, 20));
    f.framer.Finish();
    EXPECT_EQ(f.counters.unfinishedBytes, 120u);
    EXPECT_EQ(f.framer.Buffered(), 0u);
    f.ExpectAccounted(0);
}

TEST(SipFraming, EndlessHeaderOrLineIsCut) {
    Framed f;
    f.Feed("INVITE sip:a SIP/2.0\r\n");
    const std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
    while (f.counters.oversizeHeaders == 0 && f.fed < 2 * kMaxSipHeaderBytes) {
        f.Feed(line);
        ASSERT_LE(f.framer.Buffered(), 3 * kMaxSipHeaderBytes);
    }
    EXPECT_EQ(f.counters.oversizeHeaders, 1u);
    f.Feed("\r\n" + kBye);
    EXPECT_EQ(f.messages, (std::vector<std::string>{kBye}));

    // One line without an end, in small pieces: cut at the bound too.
    Framed g;
    const std::string chunk(4096, 'g');
    for (size_t i = 0; i < 2 * kMaxSipHeaderBytes / chunk.size(); ++i) {
        g.Feed(chunk);
        ASSERT_LE(g.framer.Buffered(), 3 * kMaxSipHeaderBytes);
    }
    g.Feed("\r\n" + kOk);
    EXPECT_EQ(g.messages, (std::vector<std::string>{kOk}));
    g.ExpectAccounted(0);

    // Start lines and no empty line: each header bound's worth is read once, not once per line.
    Framed h;
    std::string lines;
    while (lines.size() < 1000) lines += "OPTIONS sip:a SIP/2.0\r\n";
    for (size_t fed = 0; fed < 4 * kMaxSipHeaderBytes; fed += lines.size()) h.Feed(lines);
    EXPECT_LE(h.counters.oversizeHeaders, 4u);
    EXPECT_GE(h.counters.oversizeHeaders, 3u);
    EXPECT_TRUE(h.messages.empty());
}

}  // namespace
