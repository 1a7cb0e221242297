#pragma once
// The reply a real network gives to one MTR probe, as the capture decodes it: from the target
// an echo reply, a TCP segment from the probed port or a port unreachable quoting the probe;
// from a router an ICMP error quoting the probe. For tests and benchmarks that play the network.
#include <cstdint>
#include <string>

#include "capture/Packet.h"
#include "probe/ProbeMatch.h"

namespace probetest {

// `type` -1: the usual type for the sender (target: 3 for UDP, else 0; router: 11).
inline SniffResult ReplyFor(const ProbeIdentity& id, int32_t seq, const std::string& from, int64_t timestamp,
                            int32_t type = -1) {
    const bool target = from == id.targetIp;
    SniffResult r;
    r.valid = true;
    r.fromIp = from;
    r.fromAddr = IpAddress::Parse(from).value_or(IpAddress{});
    r.timestamp = timestamp;
    r.type = type >= 0 ? type : (target ? (id.protocol == kProbeUdp ? 3 : 0) : 11);
    r.code = r.type == 3 ? 3 : 0;
    r.probeDst = id.targetIp;
    r.probeDstAddr = id.target;
    switch (id.protocol) {
        case kProbeUdp:
            r.kind = ReplyKind::QuotedUdp;
            r.probeSrcPort = id.udpSourcePort;
            r.probeDstPort = ProbePort(id.basePort, seq);
            r.origSeq = r.probeDstPort;
            break;
        case kProbeIcmp:
            r.kind = target ? ReplyKind::EchoReply : ReplyKind::QuotedIcmp;
            r.probeIdent = id.icmpIdentifier;
            r.origSeq = seq & 0xFFFF;
            break;
        default:
            r.kind = target ? ReplyKind::TcpSegment : ReplyKind::QuotedTcp;
            r.probeSrcPort = ProbePort(id.basePort, seq);
            r.probeDstPort = kProbeTcpPort;
            r.origSeq = r.probeSrcPort;
            break;
    }
    return r;
}

}  // namespace probetest
