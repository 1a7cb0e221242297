#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/NetAddress.h"

// Kind of a SIP message (or of an RTP flow entry, which shares the record). The numbers are
// stable: they are stored in SipMessage::type and shown by the ladder view.
enum class SipMsgType : uint32_t {
    Invite = 0,
    Ack = 1,
    Bye = 2,
    Cancel = 3,
    Register = 4,
    Options = 5,
    Rtp = 14,
    Other = 15,
    Dtmf = 16,  // a telephone-event (RFC 4733) of the call's RTP: one entry per digit
};

// One SIP message of a call, or one RTP flow entry of a call (type Rtp, see CallTracker).
// A default record has empty strings, zero numbers and isRequest false.
struct SipMessage {
    std::string time;           // capture time text of the packet ("%H:%M:%S.mmm")
    int64_t timeMicros = 0;     // the same capture time, microseconds since 1970
    std::string sourceIp;       // source address without port
    std::string destinationIp;  // destination address without port
    std::string method;         // request: method token as written; response: reason phrase
    SipMsgType type = SipMsgType::Other;
    int32_t statusCode = 0;     // response code; 0 for requests and unreadable codes
    std::string callId;
    std::string fromUser;
    std::string toUser;
    std::string text;           // the whole payload (RTP entry: the flow label)
    bool isRequest = false;
    uint32_t count = 0;         // RTP entry: packets counted; 0 in a SIP message
    // RTP entry: payload type and payload bytes of its latest packet, for its label (made
    // when the record is read, see WriteRtpFlowText).
    std::optional<int> rtpPayloadType;
    uint32_t rtpLength = 0;
    // DTMF entry: the event's RTP timestamp (all its packets share it) and its digit.
    uint32_t eventTimestamp = 0;
    char digit = 0;
    std::string codec;          // RTP entry: codec name; empty in a SIP message
    // The packet's endpoints as binary fields (port 0 where it had none): what the engine
    // matches on. RTP entry: those of its first packet.
    Endpoint src;
    Endpoint dst;
};

// Reads the start line, Call-ID, From, To and (responses) CSeq of one payload. A forgiving
// monitor-grade scanner, not an RFC 3261 validator: true when the text has a line end and a
// Call-ID; the parsed fields of `message` are then filled (time, addresses and text are the
// caller's). Never reads outside `text`.
bool ParseSipMessage(std::string_view text, SipMessage& message);

// Value of the first header `name` (ASCII case-insensitive), as written, leading blanks
// skipped, up to the line end. Empty when absent, when the name is not directly followed by
// ':' or when the value has no line end. No compact-form mapping: ask for "i" yourself.
std::string GetSipHeader(std::string_view text, std::string_view name);

// User part of a From/To value: after the first "sip:" up to '@' (or '>' or the end). A value
// without "sip:" (tel URI, sips URI, bare name) comes back whole.
std::string ExtractSipUser(std::string_view value);

// "a.b.c.d:port" -> "a.b.c.d", "[2001:db8::1]:port" -> "2001:db8::1"; a bare address
// comes back whole.
std::string StripPort(std::string_view address);

// The digit an INFO carries as DTMF: "Signal=5" of an application/dtmf-relay body, or the
// body of an application/dtmf one ('0'-'9', '*', '#', 'A'-'D'); 0 when it carries none.
char DtmfDigitOfInfo(std::string_view text);

// True when `haystack` contains `needle` under ASCII case folding (C locale).
bool ContainsNoCase(std::string_view haystack, std::string_view needle);
