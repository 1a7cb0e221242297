#pragma once
#include <string>
#include <vector>

#include "capture/HandMadePacket.h"
#include "capture/Packet.h"
#include "flow/CallTracker.h"

// Builders for hand-made packets in the flow tests.
namespace flowtest {

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

inline PacketLogEntry Packet(const std::string& src, const std::string& dst, std::vector<uint8_t> payload,
                             const std::string& time = "10:00:00.000") {
    PacketLogEntry e;
    e.time = time;
    e.source = src;
    e.destination = dst;
    e.protocol = "UDP";
    e.SetPayload(payload);
    SetEndpointsFromText(e, src, dst);
    return e;
}

// A SIP message: start line, Call-ID, From/To users, CSeq, optional SDP audio port.
inline std::string Sip(const std::string& startLine, const std::string& callId, const std::string& cseq,
                       int sdpPort = 0, const std::string& from = "1001", const std::string& to = "2001") {
    std::string body;
    if (sdpPort) {
        body = "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\nm=audio " +
               std::to_string(sdpPort) + " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n";
    }
    return startLine + "\r\nVia: SIP/2.0/UDP x;branch=z9hG4bK\r\nFrom: <sip:" + from + "@a>;tag=1\r\nTo: <sip:" + to +
           "@b>\r\nCall-ID: " + callId + "\r\nCSeq: " + cseq + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// An RTP payload of `length` bytes with payload type byte `ptByte` (marker bit included).
inline std::vector<uint8_t> Rtp(uint8_t ptByte, size_t length = 172) {
    std::vector<uint8_t> p(length, 0xD5);
    p[0] = 0x80;
    if (length > 1) p[1] = ptByte;
    return p;
}

inline void Feed(CallTracker& tracker, const std::string& src, const std::string& dst, const std::string& sip,
                 const std::string& time = "10:00:00.000") {
    PacketLogEntry e = Packet(src, dst, Bytes(sip), time);
    tracker.ProcessPacket(e);
}

inline void FeedRtp(CallTracker& tracker, const std::string& src, const std::string& dst, std::vector<uint8_t> rtp,
                    const std::string& time = "10:00:01.000") {
    PacketLogEntry e = Packet(src, dst, std::move(rtp), time);
    tracker.ProcessPacket(e);
}

inline const SipCall* FindCall(const std::vector<SipCall>& calls, const std::string& id) {
    for (const SipCall& c : calls)
        if (c.callId == id) return &c;
    return nullptr;
}

inline std::vector<const SipMessage*> RtpEntries(const SipCall& call) {
    std::vector<const SipMessage*> out;
    for (const SipMessage& m : call.messages)
        if (m.type == SipMsgType::Rtp) out.push_back(&m);
    return out;
}

}  // namespace flowtest
