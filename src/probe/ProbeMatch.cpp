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
            if (id.fixedFlow) {
                if (r.probeDstPort != ProbePort(id.basePort, 0)) return -1;
                // The quoted payload when there is one (a checksum left to offload is not the
                // one sent), else the checksum, which every quote holds.
                if (r.probeFlowSeq >= 0) return r.probeFlowSeq;
                if (r.probeUdpChecksum == 0) return -1;
                return UdpFlowSeq(r.probeUdpChecksum);
            }
            return NumberFromPort(r.probeDstPort, id.basePort);
        case kProbeIcmp:
            if (r.kind != ReplyKind::EchoReply && r.kind != ReplyKind::QuotedIcmp) return -1;
            if (r.probeIdent != id.icmpIdentifier) return -1;
            return r.origSeq;
        case kProbeTcp:
            if (r.kind != ReplyKind::TcpSegment && r.kind != ReplyKind::QuotedTcp) return -1;
            if (r.probeDstPort != kProbeTcpPort) return -1;
            if (id.fixedFlow) {
                if (r.probeSrcPort != ProbePort(id.basePort, 0) || !r.hasProbeTcpSeq || r.probeTcpSeq > 0xFFFF)
                    return -1;
                return static_cast<int32_t>(r.probeTcpSeq);
            }
            return NumberFromPort(r.probeSrcPort, id.basePort);
        default: return -1;
    }
}
