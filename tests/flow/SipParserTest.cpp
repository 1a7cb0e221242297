#include <gtest/gtest.h>

#include "flow/SipParser.h"

namespace {

SipMessage Parse(const std::string& text, bool expectOk = true) {
    SipMessage m;
    EXPECT_EQ(ParseSipMessage(text, m), expectOk) << text;
    return m;
}

const char* kHeaders =
    "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1\r\n"
    "From: \"Alice\" <sip:1001@10.0.0.1>;tag=a1\r\n"
    "To: <sip:2001@10.0.0.2>\r\n"
    "Call-ID: abc@10.0.0.1\r\n";

TEST(SipParser, StatusLines) {
    // Exactly 11 characters: the code doubles as the method text.
    SipMessage m = Parse(std::string("SIP/2.0 200\r\n") + kHeaders + "CSeq: 1 INVITE\r\n\r\n");
    EXPECT_FALSE(m.isRequest);
    EXPECT_EQ(m.statusCode, 200);
    EXPECT_EQ(m.method, "200");
    EXPECT_EQ(m.type, SipMsgType::Invite);

    m = Parse(std::string("SIP/2.0 486 Busy Here\r\n") + kHeaders + "CSeq: 1 INVITE\r\n\r\n");
    EXPECT_EQ(m.statusCode, 486);
    EXPECT_EQ(m.method, "Busy Here");

    // Letters for a code: kept as a response with code 0, headers still read.
    m = Parse(std::string("SIP/2.0 abc Weird\r\n") + kHeaders + "CSeq: 2 BYE\r\n\r\n");
    EXPECT_EQ(m.statusCode, 0);
    EXPECT_EQ(m.method, "RESPONSE");
    EXPECT_EQ(m.callId, "abc@10.0.0.1");
    EXPECT_EQ(m.type, SipMsgType::Bye);

    // Lower-case version is still a status line; CSeq REGISTER is not recognised.
    m = Parse(std::string("sip/2.0 403 Forbidden\r\n") + kHeaders + "CSeq: 1 REGISTER\r\n\r\n");
    EXPECT_FALSE(m.isRequest);
    EXPECT_EQ(m.statusCode, 403);
    EXPECT_EQ(m.type, SipMsgType::Other);

    // 9 characters: no digit can be read past offset 8, code stays 0.
    m = Parse(std::string("SIP/2.0 2\r\n") + kHeaders);
    EXPECT_EQ(m.statusCode, 2);
    EXPECT_EQ(m.method, "2");
    m = Parse(std::string("SIP/2.0 \r\n") + kHeaders);
    EXPECT_EQ(m.statusCode, 0);
    EXPECT_EQ(m.method, "RESPONSE");
}

TEST(SipParser, RequestLines) {
    SipMessage m = Parse(std::string("INVITE\r\n") + kHeaders);
    EXPECT_TRUE(m.isRequest);
    EXPECT_EQ(m.method, "");
    EXPECT_EQ(m.type, SipMsgType::Other);

    m = Parse(std::string("invite sip:2001@10.0.0.2 SIP/2.0\r\n") + kHeaders);
    EXPECT_EQ(m.method, "invite");
    EXPECT_EQ(m.type, SipMsgType::Other);

    const std::pair<const char*, SipMsgType> methods[] = {
        {"INVITE", SipMsgType::Invite},   {"ACK", SipMsgType::Ack},         {"BYE", SipMsgType::Bye},
        {"CANCEL", SipMsgType::Cancel},   {"REGISTER", SipMsgType::Register}, {"OPTIONS", SipMsgType::Options},
        {"NOTIFY", SipMsgType::Other}};
    for (auto [name, type] : methods) {
        m = Parse(std::string(name) + " sip:x@y SIP/2.0\r\n" + kHeaders);
        EXPECT_EQ(m.method, name);
        EXPECT_EQ(m.type, type) << name;
        EXPECT_EQ(m.statusCode, 0);
        EXPECT_EQ(m.fromUser, "1001");
        EXPECT_EQ(m.toUser, "2001");
    }
}

TEST(SipParser, CompactHeadersAndBareLineFeeds) {
    const std::string longForm =
        "BYE sip:5551234@198.51.100.20 SIP/2.0\r\nFrom: <sip:1003@192.168.1.51>;tag=x\r\n"
        "To: <sip:5551234@198.51.100.20>\r\nCall-ID: 7c1b@192.168.1.51\r\nCSeq: 43 BYE\r\n\r\n";
    const std::string compactLf =
        "BYE sip:5551234@198.51.100.20 SIP/2.0\nf: <sip:1003@192.168.1.51>;tag=x\n"
        "t: <sip:5551234@198.51.100.20>\ni: 7c1b@192.168.1.51\nCSeq: 43 BYE\n\n";
    SipMessage a = Parse(longForm), b = Parse(compactLf);
    EXPECT_EQ(a.callId, b.callId);
    EXPECT_EQ(a.fromUser, b.fromUser);
    EXPECT_EQ(a.toUser, b.toUser);
    EXPECT_EQ(a.method, b.method);
    EXPECT_EQ(b.callId, "7c1b@192.168.1.51");

    // Bare LFs with a CR LF later: CR LF is searched first, so the value runs up to it.
    SipMessage c = Parse("OPTIONS sip:x SIP/2.0\ni: id1\nf: <sip:u@h>\nt: <sip:v@h>\r\n\r\n");
    EXPECT_EQ(c.callId, "id1\nf: <sip:u@h>\nt: <sip:v@h>");
    EXPECT_EQ(c.method, "OPTIONS");  // the start line too runs to the CR LF; its first blank ends the method
}

TEST(SipParser, RejectsWhatIsNotSip) {
    Parse("", false);
    Parse("INVITE sip:x SIP/2.0 Call-ID: abc", false);           // no line end at all
    Parse("INVITE sip:x SIP/2.0\r\nFrom: <sip:a@b>\r\n\r\n", false);  // no Call-ID
    Parse("INVITE sip:x SIP/2.0\r\nCall-ID: abc", false);        // value without line end
    Parse("INVITE sip:x SIP/2.0\r\nCall-ID : abc\r\n", false);   // blank before the colon
    const char raw[] = "INVITE sip:x SIP/2.0\r\nCall-ID: a\0b\r\n";
    std::string withNul(raw, sizeof raw - 1);
    SipMessage m = Parse(withNul);
    EXPECT_EQ(m.callId, std::string("a\0b", 3));
}

TEST(SipParser, GetSipHeader) {
    const std::string text = "X sip:a SIP/2.0\r\ncall-id:   Mixed Case  \r\nContent-Length:   207\r\nVia: a\r\nvia: b\r\n";
    EXPECT_EQ(GetSipHeader(text, "CALL-ID"), "Mixed Case  ");
    EXPECT_EQ(GetSipHeader(text, "Content-Length"), "207");
    EXPECT_EQ(GetSipHeader(text, "Via"), "a");  // first one wins
    EXPECT_EQ(GetSipHeader(text, "Missing"), "");
    EXPECT_EQ(GetSipHeader("Call-ID: top\r\n", "call-id"), "top");  // header at offset 0
    EXPECT_EQ(GetSipHeader("Call-ID:\ttab\r\n", "Call-ID"), "\ttab");  // only blanks skipped
    // Compact names only match their own letter followed by ':'.
    EXPECT_EQ(GetSipHeader("A\r\nidentity: x\r\ni: y\r\n", "i"), "y");
}

TEST(SipParser, ExtractSipUserAndStripPort) {
    EXPECT_EQ(ExtractSipUser("\"Alice\" <sip:1001@10.0.0.1>;tag=77"), "1001");
    EXPECT_EQ(ExtractSipUser("<sip:203.0.113.10>;tag=1"), "203.0.113.10");
    EXPECT_EQ(ExtractSipUser("sip:bob"), "bob");
    EXPECT_EQ(ExtractSipUser("<sips:bob@example.com>"), "<sips:bob@example.com>");
    EXPECT_EQ(ExtractSipUser("<tel:+5511999>;tag=1"), "<tel:+5511999>;tag=1");
    EXPECT_EQ(ExtractSipUser("sip:"), "");
    EXPECT_EQ(ExtractSipUser(""), "");
    EXPECT_EQ(StripPort("192.168.1.50:5060"), "192.168.1.50");
    EXPECT_EQ(StripPort("192.168.1.50"), "192.168.1.50");
    EXPECT_EQ(StripPort(""), "");
}

}  // namespace

// DTMF carried by an INFO: "Signal=" of application/dtmf-relay, the body of application/dtmf.
TEST(SipParser, DtmfDigitOfInfoBodies) {
    auto info = [](const std::string& type, const std::string& body) {
        return "INFO sip:x SIP/2.0\r\nCall-ID: a\r\nContent-Type: " + type + "\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    EXPECT_EQ(DtmfDigitOfInfo(info("application/dtmf-relay", "Signal=5\r\nDuration=160\r\n")), '5');
    EXPECT_EQ(DtmfDigitOfInfo(info("application/dtmf-relay", "signal = #\r\n")), '#');
    EXPECT_EQ(DtmfDigitOfInfo(info("application/dtmf", "b")), 'B');
    EXPECT_EQ(DtmfDigitOfInfo(info("application/dtmf-relay", "Duration=160\r\n")), 0);
    EXPECT_EQ(DtmfDigitOfInfo(info("application/sdp", "v=0\r\n")), 0);
    EXPECT_EQ(DtmfDigitOfInfo("INFO sip:x SIP/2.0\r\nCall-ID: a\r\n"), 0);
}
