#include "capture/Layers.h"
#include "capture/TextFormat.h"

namespace {

void AddPorts(PacketLogEntry& entry, uint16_t sport, uint16_t dport, bool texts) {
    entry.hasPorts = true;
    entry.srcPort = sport;
    entry.dstPort = dport;
    if (!texts) return;
    AppendPort(entry.source, sport);
    AppendPort(entry.destination, dport);
}

void PortsInfo(std::string& info, uint16_t sport, uint16_t dport) {
    info += "Src=";
    AppendDecimal(info, sport);
    info += " Dst=";
    AppendDecimal(info, dport);
}

}  // namespace

// UDP (RFC 768): ports when the 8-byte header is captured. The header counts as 8 bytes
// for the payload offset even when it was cut short.
TransportResult DecodeUdp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags) {
    TransportResult r;
    r.headerLength = 8;
    if (!l4.AtLeast(8)) {
        flags.truncated = true;
        return r;
    }
    const uint16_t sport = l4.be16(0);
    const uint16_t dport = l4.be16(2);
    AddPorts(entry, sport, dport, flags.texts);
    if (flags.texts) {
        entry.info.clear();
        PortsInfo(entry.info, sport, dport);
    }
    return r;
}

// TCP (RFC 9293): ports and the SYN/ACK/RST flags when the 20-byte header is captured.
// A segment to one of our probe ports answers a SYN probe: SYN-ACK (port open) or a bare
// RST (port closed, reported like ICMP port unreachable, type 3 code 3).
TransportResult DecodeTcp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags) {
    TransportResult r;
    if (!l4.AtLeast(20)) {
        flags.truncated = true;
        return r;
    }
    const uint16_t sport = l4.be16(0);
    const uint16_t dport = l4.be16(2);
    const uint8_t dataOffset = l4.u8(12) >> 4;
    const uint8_t tcpFlags = l4.u8(13);
    if (dataOffset < 5) flags.malformed = true;
    r.headerLength = size_t{dataOffset} * 4;
    AddPorts(entry, sport, dport, flags.texts);
    entry.tcpSeq = l4.be32(4);
    entry.tcpFlags = tcpFlags;

    const bool syn = tcpFlags & 0x02;
    const bool ack = tcpFlags & 0x10;
    const bool rst = tcpFlags & 0x04;
    if (flags.texts) {
        entry.info = "TCP ";
        if (syn) entry.info += "SYN ";
        if (ack) entry.info += "ACK ";
        if (rst) entry.info += "RST ";
        PortsInfo(entry.info, sport, dport);
    }

    if (dport >= kProbeBasePort) {
        r.reply = true;
        r.origSeq = dport;
        r.kind = ReplyKind::TcpSegment;
        r.probeSrcPort = dport;
        r.probeDstPort = sport;
        // Only an ACK says which SYN it answers.
        r.hasProbeTcpSeq = ack;
        r.probeTcpSeq = ack ? l4.be32(8) - 1u : 0u;
        const bool closed = rst && !syn && !ack;
        r.type = closed ? 3 : 0;
        r.code = closed ? 3 : 0;
    }
    return r;
}

// For a reassembled datagram: the same fields DecodeUdp / DecodeTcp set, but the texts stay
// those of the frame that completed it.
bool ReadTransportFields(const ByteReader& l4, uint8_t protocol, PacketLogEntry& entry, size_t& headerLength) {
    if (protocol == kIpProtoUdp) {
        if (!l4.AtLeast(8)) return false;
        headerLength = 8;
    } else if (protocol == kIpProtoTcp) {
        if (!l4.AtLeast(20)) return false;
        const size_t dataOffset = size_t{l4.u8(12)} / 16 * 4;
        if (dataOffset < 20 || !l4.AtLeast(dataOffset)) return false;
        headerLength = dataOffset;
        entry.tcpSeq = l4.be32(4);
        entry.tcpFlags = l4.u8(13);
    } else {
        return false;
    }
    entry.hasPorts = true;
    entry.srcPort = l4.be16(0);
    entry.dstPort = l4.be16(2);
    return true;
}
