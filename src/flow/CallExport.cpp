#include "flow/CallExport.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string_view>

#include "flow/RtpFlows.h"
#include "flow/SipParser.h"

namespace {

using EndpointPair = std::pair<Endpoint, Endpoint>;

// A SIP message whose Call-ID (or compact "i") is the call's, exactly: "13-x@h" is not "3-x@h".
bool HasCallId(const PacketLogEntry& p, const std::string& callId) {
    const std::span<const uint8_t> payload = p.Payload();
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    if (callId.empty() || text.find(callId) == std::string_view::npos) return false;
    std::string id = GetSipHeader(text, "Call-ID");
    if (id.empty()) id = GetSipHeader(text, "i");
    while (!id.empty() && (id.back() == ' ' || id.back() == '\t' || id.back() == '\r')) id.pop_back();
    return id == callId;
}

}  // namespace

std::vector<PacketLogEntry> CallPackets(const SipCall& call, const std::vector<RtpStreamReport>& streams,
                                        const std::vector<PacketLogEntry>& buffer) {
    std::set<EndpointPair> media, tcp;
    for (const RtpStreamReport& s : streams) {
        media.insert({s.src, s.dst});
        // RTCP runs on the port after the RTP port (RFC 3550 section 11).
        media.insert({Endpoint{s.src.address, static_cast<uint16_t>(s.src.port + 1)},
                      Endpoint{s.dst.address, static_cast<uint16_t>(s.dst.port + 1)}});
    }
    for (const SipMessage& m : call.messages) {
        if (m.type == SipMsgType::Rtp) media.insert({m.src, m.dst});
        else tcp.insert({m.src, m.dst});
    }
    std::vector<PacketLogEntry> out;
    for (const PacketLogEntry& p : buffer) {
        if (!p.hasPorts) continue;
        const EndpointPair key{p.Source(), p.Destination()};
        if (p.ipProtocol == kIpProtoTcp) {
            // Every segment of a connection the call's messages went over, both ways.
            if (tcp.count(key) || tcp.count({key.second, key.first})) out.push_back(p);
        } else if (media.count(key) || HasCallId(p, call.callId)) {
            out.push_back(p);
        }
    }
    return out;
}

std::string CallLadderText(const SipCall& call) {
    std::string out;
    int64_t previous = 0;
    for (const SipMessage& original : call.messages) {
        SipMessage m = original;
        if (m.type == SipMsgType::Rtp && m.text.empty()) WriteRtpFlowText(m);
        std::string_view first(m.text);
        first = first.substr(0, first.find_first_of("\r\n"));
        if (m.type == SipMsgType::Rtp) {
            // The label's last line: "RTP (G711a/PT:8) - 100 [160b]" or "Codec: (...)".
            std::string_view label(m.text);
            const size_t lf = label.rfind('\n');
            first = lf == std::string_view::npos ? label : label.substr(lf + 1);
        }
        char delta[32];
        if (previous == 0) std::snprintf(delta, sizeof delta, "%9s", "");
        else std::snprintf(delta, sizeof delta, "%+9.3f", (m.timeMicros - previous) / 1e6);
        previous = m.timeMicros;
        out += m.time + " " + delta + " s  " + m.src.Text() + " -> " + m.dst.Text() + "  " + std::string(first) + "\n";
    }
    return out;
}
