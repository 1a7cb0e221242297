#include "probe/ProbeMatch.h"

namespace {
// Probe number carried in a UDP destination / TCP source port; -1 below the first probe port.
int32_t NumberFromPort(uint16_t port, int32_t basePort) {
    return port >= basePort ? port - basePort : -1;
}
}  // namespace

int32_t MatchProbeReply(const SniffResult& r, const ProbeIdentity& id) {
    if (!r.valid || id.target.Empty() || !(r.probeDstAddr == id.target)) return -1;
    switch (id.protocol) {
        case kProbeUdp:
            if (r.kind != ReplyKind::QuotedUdp || r.probeSrcPort != id.udpSourcePort) return -1;
            return NumberFromPort(r.probeDstPort, id.basePort);
        case kProbeIcmp:
            if (r.kind != ReplyKind::EchoReply && r.kind != ReplyKind::QuotedIcmp) return -1;
            if (r.probeIdent != id.icmpIdentifier) return -1;
            return r.origSeq;
        case kProbeTcp:
            if (r.kind != ReplyKind::TcpSegment && r.kind != ReplyKind::QuotedTcp) return -1;
            if (r.probeDstPort != kProbeTcpPort) return -1;
            return NumberFromPort(r.probeSrcPort, id.basePort);
        default: return -1;
    }
}
