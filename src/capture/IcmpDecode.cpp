#include <cstring>

#include "capture/Layers.h"
#include "capture/TextFormat.h"
#include "logs/Trace.h"

namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kDestUnreachable = 3;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kTimeExceeded = 11;

const char* IcmpName(uint8_t type) {
    switch (type) {
        case kEchoReply: return "Echo Reply";
        case kDestUnreachable: return "Dest Unreachable";
        case kEchoRequest: return "Echo Request";
        case kTimeExceeded: return "Time Exceeded";
        default: return "Unknown";
    }
}

// An ICMP error quotes the offending datagram's IPv4 header and at least its first 8 bytes
// (RFC 792; RFC 1812 routers may quote more). The probe is identified from the quote: the
// UDP destination port, the TCP source port, or the echo sequence number.
void DecodeQuote(const ByteReader& icmp, PacketLogEntry& entry, LayerFlags& flags,
                 TransportResult& r) {
    if (!icmp.AtLeast(28)) {
        if (flags.texts) entry.info += " [TooShort for InnerIP]";
        flags.truncated = true;
        return;
    }
    const uint8_t innerVersionIhl = icmp.u8(8);
    const size_t innerLength = size_t{innerVersionIhl & 0x0Fu} * 4;
    if ((innerVersionIhl >> 4) != 4 || innerLength < 20) flags.malformed = true;
    const uint8_t innerProtocol = icmp.u8(8 + 9);
    // The TOS byte's upper six bits: the DSCP the probe carried when it reached this router.
    r.quotedDscp = icmp.u8(8 + 1) >> 2;
    if (flags.texts) {
        entry.info += " [InnerProto=";
        AppendDecimal(entry.info, innerProtocol);
        entry.info += "]";
    }

    const size_t quoted = 8 + innerLength;  // offset of the quoted transport header
    r.quotedDstAddr = IpAddress::FromV4(icmp.bytes(8 + 16, 4));
    switch (innerProtocol) {
        case 6:
            if (ReadQuotedTransport(icmp, quoted, innerProtocol, entry, flags, r))
                Trace("ICMP Error (TCP Inner). Extracted Sport: " + Decimal(static_cast<uint32_t>(r.origSeq)));
            return;
        case 17: ReadQuotedTransport(icmp, quoted, innerProtocol, entry, flags, r); return;
        case 1:
            // The quoted echo request: its sequence number sits at offset 6.
            if (!icmp.AtLeast(quoted + 8)) {
                flags.truncated = true;
                return;
            }
            r.origSeq = icmp.be16(quoted + 6);
            r.kind = ReplyKind::QuotedIcmp;
            r.probeIdent = icmp.be16(quoted + 4);
            r.reply = true;
            return;
        default: return;
    }
}

}  // namespace

bool ReadQuotedTransport(const ByteReader& packet, size_t quoted, uint8_t protocol, PacketLogEntry& entry,
                         LayerFlags& flags, TransportResult& r) {
    const bool tcp = protocol == 6;
    if (!packet.AtLeast(quoted + (tcp ? 4 : 8))) {
        if (flags.texts) entry.info += tcp ? " [TooShort for TCP]" : " [TooShort for UDP]";
        flags.truncated = true;
        return false;
    }
    r.kind = tcp ? ReplyKind::QuotedTcp : ReplyKind::QuotedUdp;
    r.probeSrcPort = packet.be16(quoted);
    r.probeDstPort = packet.be16(quoted + 2);
    // A TCP probe's number is its source port, a UDP probe's its destination port.
    r.origSeq = tcp ? r.probeSrcPort : r.probeDstPort;
    // RFC 792 guarantees 8 bytes of the quoted transport header: the UDP checksum, the TCP
    // sequence number.
    if (packet.AtLeast(quoted + 8)) {
        if (tcp) {
            r.hasProbeTcpSeq = true;
            r.probeTcpSeq = packet.be32(quoted + 4);
        } else {
            r.probeUdpChecksum = packet.be16(quoted + 6);
            // A fixed-flow probe's payload names its number too: where checksum offload left
            // the quoted checksum unfinished (veth, loopback), that is what tells the probe.
            const size_t payload = quoted + 8;
            if (packet.AtLeast(payload + kProbeFlowMagicLength + 2) &&
                std::memcmp(packet.bytes(payload, kProbeFlowMagicLength).data(), kProbeFlowMagic, kProbeFlowMagicLength) == 0)
                r.probeFlowSeq = packet.be16(payload + kProbeFlowMagicLength);
        }
    }
    if (flags.texts) {
        entry.info += tcp ? " [InnerSport=" : " [InnerDport=";
        AppendDecimal(entry.info, static_cast<uint32_t>(r.origSeq));
        entry.info += "]";
    }
    r.reply = true;
    return true;
}

// ICMP (RFC 792). Echo replies are delivered whatever their identifier, with the identifier:
// the consumer keeps those of its own probes. Echo requests are never replies.
TransportResult DecodeIcmp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags) {
    TransportResult r;
    if (!l4.AtLeast(8)) {
        flags.truncated = true;
        return r;
    }
    const uint8_t type = l4.u8(0);
    const uint8_t code = l4.u8(1);
    if (flags.texts) {
        entry.info = IcmpName(type);
        entry.info += " (Type=";
        AppendDecimal(entry.info, type);
        entry.info += ")";
    }
    r.type = type;
    r.code = code;
    if (type == kEchoReply) {
        r.reply = true;
        r.origSeq = l4.be16(6);
        r.kind = ReplyKind::EchoReply;
        r.probeIdent = l4.be16(4);
    } else if (type == kDestUnreachable || type == kTimeExceeded) {
        DecodeQuote(l4, entry, flags, r);
    }
    return r;
}
