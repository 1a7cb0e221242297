#pragma once
// What the benchmark programs build their input from and measure with.
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>

#include "capture/HandMadePacket.h"
#include "capture/Packet.h"

namespace bench {

// CPU time of the calling thread, in milliseconds.
inline double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// CPU time of the whole process (every thread), in milliseconds.
inline double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Resident memory of this process in MiB; -1 where /proc does not tell.
inline double RssMiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

// Peak resident memory of this process in MiB (VmHWM); -1 where /proc does not tell.
inline double PeakRssMiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

// A UDP packet as the capture thread hands it on: its texts, a 42-byte frame head and the
// payload after it.
inline PacketLogEntry UdpPacket(const std::string& time, const std::string& src, const std::string& dst,
                                const std::string& payload) {
    PacketLogEntry e;
    e.time = time;
    e.source = src;
    e.destination = dst;
    e.protocol = "UDP";
    e.info = src + " -> " + dst;
    e.rawData.assign(42, 0);
    e.SetPayload(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    e.wireLength = static_cast<uint32_t>(e.rawData.size());
    SetEndpointsFromText(e, src, dst);
    return e;
}

// A SIP message between user 1000 + user at 10.1.0.1 and 2000 at 10.2.0.1; with an SDP offer
// of G.711 A-law and telephone events on audioPort when that is above 0.
inline std::string SipText(const std::string& startLine, const std::string& callId, const std::string& cseq,
                           uint64_t user, int audioPort) {
    std::string body;
    if (audioPort > 0)
        body = "v=0\r\no=- 1 1 IN IP4 10.1.0.1\r\ns=-\r\nc=IN IP4 10.1.0.1\r\nt=0 0\r\nm=audio " +
               std::to_string(audioPort) + " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n";
    return startLine + "\r\nVia: SIP/2.0/UDP 10.1.0.1:5060;branch=z9hG4bK-" + callId +
           "\r\nFrom: \"User\" <sip:" + std::to_string(1000 + user % 9000) + "@10.1.0.1>;tag=" +
           std::to_string(user) + "\r\nTo: <sip:2000@10.2.0.1>\r\nCall-ID: " + callId + "\r\nCSeq: " + cseq +
           "\r\nContact: <sip:1000@10.1.0.1:5060>\r\nMax-Forwards: 70\r\nUser-Agent: bench\r\n"
           "Content-Type: application/sdp\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// An ICMP reply to a probe as the capture thread hands it on: 98 bytes, the last 52 quoted.
inline PacketLogEntry IcmpReply(const std::string& time, const std::string& source, const std::string& info) {
    PacketLogEntry e;
    e.time = time;
    e.source = source;
    e.destination = "10.200.1.1";
    e.protocol = "ICMP";
    e.info = info;
    e.rawData.assign(98, 0x42);
    e.payloadOffset = 98 - 52;
    e.payloadLength = 52;
    e.wireLength = 98;
    return e;
}

}  // namespace bench
