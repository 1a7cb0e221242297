#include "capture/Layers.h"
#include "capture/TextFormat.h"

namespace {

constexpr uint8_t kDestUnreachable = 1;
constexpr uint8_t kPacketTooBig = 2;
constexpr uint8_t kTimeExceeded = 3;
constexpr uint8_t kParameterProblem = 4;
constexpr uint8_t kEchoRequest = 128;
constexpr uint8_t kEchoReply = 129;
constexpr size_t kIpv6HeaderLength = 40;

const char* Icmpv6Name(uint8_t type) {
    switch (type) {
        case kDestUnreachable: return "Dest Unreachable";
        case kPacketTooBig: return "Packet Too Big";
        case kTimeExceeded: return "Time Exceeded";
        case kParameterProblem: return "Parameter Problem";
        case kEchoRequest: return "Echo Request";
        case kEchoReply: return "Echo Reply";
        case 133: return "Router Solicitation";
        case 134: return "Router Advertisement";
        case 135: return "Neighbor Solicitation";
        case 136: return "Neighbor Advertisement";
        default: return "Unknown";
    }
}

// An ICMPv6 error quotes as much of the offending datagram as fits in the minimum MTU
// (RFC 4443), so the probe's extension headers, if any, are quoted too and walked like the
// outer ones. The probe is identified as over IPv4: UDP destination port, TCP source port,
// or the echo request's identifier and sequence number.
void DecodeQuote(const ByteReader& icmp, PacketLogEntry& entry, LayerFlags& flags, TransportResult& r) {
    if (!icmp.AtLeast(8 + kIpv6HeaderLength)) {
        if (flags.texts) entry.info += " [TooShort for InnerIP]";
        flags.truncated = true;
        return;
    }
    const ByteReader inner = icmp.Sub(8);
    if ((inner.u8(0) >> 4) != 6) flags.malformed = true;
    const Ipv6Chain chain = WalkIpv6Chain(inner);
    if (flags.texts) {
        entry.info += " [InnerProto=";
        AppendDecimal(entry.info, chain.protocol);
        entry.info += "]";
    }
    if (!chain.complete || chain.laterFragment) {
        if (chain.truncated) flags.truncated = true;
        if (chain.malformed) flags.malformed = true;
        return;
    }
    r.quotedDstAddr = IpAddress::FromV6(inner.bytes(24, 16));
    // Traffic class: the low nibble of byte 0 and the high nibble of byte 1; DSCP its upper six bits.
    r.quotedDscp = ((inner.u8(0) & 0x0F) << 4 | inner.u8(1) >> 4) >> 2;
    const size_t quoted = chain.upperOffset;
    switch (chain.protocol) {
        case 6:
        case 17: ReadQuotedTransport(inner, quoted, chain.protocol, entry, flags, r); return;
        case 58:
            if (!inner.AtLeast(quoted + 8)) {
                flags.truncated = true;
                return;
            }
            // Only a quoted echo request is a probe; an error about a neighbour solicitation
            // or another error is not.
            if (inner.u8(quoted) != kEchoRequest) return;
            r.origSeq = inner.be16(quoted + 6);
            r.kind = ReplyKind::QuotedIcmp;
            r.probeIdent = inner.be16(quoted + 4);
            r.reply = true;
            return;
        default: return;
    }
}

}  // namespace

IcmpEquivalent Icmpv6AsIcmp(uint8_t type, uint8_t code) {
    switch (type) {
        case kEchoReply: return {0, 0};
        case kTimeExceeded: return {11, code};
        case kDestUnreachable:
            switch (code) {
                case 0: return {3, 0};   // no route: network unreachable
                case 3: return {3, 1};   // address unreachable: host unreachable
                case 4: return {3, 3};   // port unreachable
                case 2: return {3, 1};   // beyond the source's scope
                default: return {3, 13};  // prohibited by policy, rejected route, ...
            }
        default: return {type, code};
    }
}

// ICMPv6 (RFC 4443). Echo replies are delivered whatever their identifier, as for ICMP;
// echo requests, neighbour discovery and the other informational messages are never replies.
TransportResult DecodeIcmpv6(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags) {
    TransportResult r;
    if (!l4.AtLeast(8)) {
        flags.truncated = true;
        return r;
    }
    const uint8_t type = l4.u8(0);
    const uint8_t code = l4.u8(1);
    if (flags.texts) {
        entry.info = Icmpv6Name(type);
        entry.info += " (Type=";
        AppendDecimal(entry.info, type);
        entry.info += ")";
    }
    const IcmpEquivalent same = Icmpv6AsIcmp(type, code);
    r.type = same.type;
    r.code = same.code;
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
