#pragma once
#include <filesystem>
// Shared helpers of the Flow tab tests: captures from tests/data/pcaps read through the
// real offline capture path, and hand-made SIP/RTP packets.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/HandMadePacket.h"
#include "capture/Packet.h"
#include "capture/Sniffer.h"
#include "flow/CallTracker.h"

namespace flowtab_test {

// Every frame of a capture (a name in tests/data/pcaps or an absolute path), decoded as the
// live capture decodes it.
inline std::vector<PacketLogEntry> ReadCapture(const std::string& fileName) {
    std::vector<PacketLogEntry> out;
    std::mutex m;
    Sniffer sniffer;
    const std::string path =
        std::filesystem::path(fileName).is_absolute() ? fileName : std::string(OC_PCAP_DIR) + "/" + fileName;
    if (!sniffer.InitOffline(path)) return out;
    sniffer.Start([](SniffResult) {}, [&](PacketLogEntry e) {
        std::lock_guard<std::mutex> lock(m);
        out.push_back(std::move(e));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sniffer.LoopActive() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sniffer.Stop();
    std::lock_guard<std::mutex> lock(m);
    return out;
}

inline void Feed(CallTracker& tracker, const std::vector<PacketLogEntry>& packets) {
    for (const PacketLogEntry& p : packets) tracker.ProcessPacket(p);
}

inline std::vector<SipCall> CallsOf(const std::string& fileName) {
    CallTracker tracker;
    Feed(tracker, ReadCapture(fileName));
    return tracker.GetCalls();
}

// A UDP packet between two "ip:port" texts carrying `payload`.
inline PacketLogEntry MakePacket(const std::string& time, const std::string& src, const std::string& dst,
                                 const std::string& payload) {
    PacketLogEntry e;
    e.time = time;
    e.source = src;
    e.destination = dst;
    e.protocol = "UDP";
    e.info = "Len=" + std::to_string(payload.size());
    e.SetPayload(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    e.wireLength = static_cast<uint32_t>(payload.size() + 42);
    SetEndpointsFromText(e, src, dst);
    return e;
}

inline std::string SipRequest(const std::string& method, const std::string& callId, const std::string& from,
                              const std::string& to, const std::string& cseqMethod) {
    return method + " sip:2000@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1:5060\r\nFrom: " + from +
           "\r\nTo: " + to + "\r\nCall-ID: " + callId + "\r\nCSeq: 1 " + cseqMethod + "\r\nContent-Length: 0\r\n\r\n";
}

inline std::string SipResponse(const std::string& statusLine, const std::string& callId,
                               const std::string& cseqMethod) {
    return "SIP/2.0 " + statusLine + "\r\nVia: SIP/2.0/UDP 10.0.0.1:5060\r\nFrom: <sip:1000@10.0.0.1>;tag=a\r\n"
           "To: <sip:2000@10.0.0.2>;tag=b\r\nCall-ID: " + callId + "\r\nCSeq: 1 " + cseqMethod +
           "\r\nContent-Length: 0\r\n\r\n";
}

}  // namespace flowtab_test
