#include "capture/Layers.h"
#include "capture/TextFormat.h"

namespace {
constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint16_t kMoreFragments = 0x2000;
constexpr uint16_t kOffsetMask = 0x1FFF;

// The fragment's data runs from the end of the header to the total length (RFC 791), not
// to the end of the frame: Ethernet pads short frames, and padding is no datagram byte.
IpFragment Ipv4Fragment(const ByteReader& ip, size_t headerLength, uint32_t offset, bool more) {
    IpFragment f;
    f.present = true;
    f.family = IpAddress::V4;
    f.identification = ip.be16(4);
    f.offset = offset;
    f.more = more;
    f.protocol = ip.u8(9);
    const size_t totalLength = ip.be16(2);
    if (headerLength < 20 || totalLength < headerLength) {
        f.malformed = true;
        return f;
    }
    f.bytes = ip.bytes(headerLength, totalLength - headerLength);
    f.complete = ip.AtLeast(totalLength);
    return f;
}
}  // namespace

// IPv4 (RFC 791). The header length is taken from IHL as it stands, without checking it or
// the version nibble: a broken header still shows up in the packet log with whatever its
// bytes say, but it is counted as malformed. A fragment other than the first names its
// protocol but is not decoded further, as over IPv6: its bytes continue an earlier fragment,
// and read as a UDP header and payload they would turn into a SIP message or RTP of nobody.
DecodeResult DecodeIpv4(const ByteReader& ip, const FrameHeader& header, PacketLogEntry& entry,
                        SniffResult& reply, bool texts) {
    LayerFlags flags;
    flags.texts = texts;
    const uint8_t versionIhl = ip.u8(0);
    const size_t headerLength = size_t{versionIhl & 0x0Fu} * 4;
    if ((versionIhl >> 4) != 4 || headerLength < 20) flags.malformed = true;

    const uint8_t ttl = ip.u8(8);
    const uint8_t protocol = ip.u8(9);
    entry.srcAddr = IpAddress::FromV4(ip.bytes(12, 4));
    entry.dstAddr = IpAddress::FromV4(ip.bytes(16, 4));
    entry.ipProtocol = protocol;
    if (texts) {
        entry.source = DottedQuad(ip.bytes(12, 4));
        entry.destination = DottedQuad(ip.bytes(16, 4));
        switch (protocol) {
            case kProtoIcmp: entry.protocol = "ICMP"; break;
            case kProtoUdp: entry.protocol = "UDP"; break;
            case kProtoTcp: entry.protocol = "TCP"; break;
            default: entry.protocol = "Other (" + Decimal(protocol) + ")"; break;
        }
        entry.info = "[TTL=";
        AppendDecimal(entry.info, ttl);
        entry.info += "] ";
    }

    TransportResult transport;
    const uint16_t flagsAndOffset = ip.be16(6);
    const uint16_t fragmentOffset = static_cast<uint16_t>((flagsAndOffset & kOffsetMask) * 8);
    const bool more = (flagsAndOffset & kMoreFragments) != 0;
    IpFragment fragment;
    if (fragmentOffset != 0 || more) fragment = Ipv4Fragment(ip, headerLength, fragmentOffset, more);
    if (fragmentOffset != 0) {
        if (texts) {
            entry.info += "[Fragment Offset=";
            AppendDecimal(entry.info, fragmentOffset);
            entry.info += "]";
        }
        DecodeResult r = FinishNetworkLayer(ip, ip.size(), transport, flags, header, reply, entry.srcAddr);
        r.fragment = fragment;
        return r;
    }
    const ByteReader l4 = ip.Sub(headerLength);
    switch (protocol) {
        case kProtoUdp: transport = DecodeUdp(l4, entry, flags); break;
        case kProtoTcp: transport = DecodeTcp(l4, entry, flags); break;
        case kProtoIcmp: transport = DecodeIcmp(l4, entry, flags); break;
        default: break;
    }
    DecodeResult r = FinishNetworkLayer(ip, headerLength, transport, flags, header, reply, entry.srcAddr);
    r.fragment = fragment;
    return r;
}

DecodeResult FinishNetworkLayer(const ByteReader& ip, size_t upperOffset, TransportResult& transport,
                                const LayerFlags& flags, const FrameHeader& header,
                                SniffResult& reply, const IpAddress& fromAddr) {
    DecodeResult result;
    result.payload = ip.Tail(upperOffset + transport.headerLength);
    result.deliver = true;
    result.status = flags.malformed   ? DecodeStatus::Malformed
                    : flags.truncated ? DecodeStatus::Truncated
                                      : DecodeStatus::Decoded;
    if (transport.reply) {
        result.reply = true;
        reply.valid = true;
        reply.kind = transport.kind;
        reply.probeDstAddr = transport.quotedDstAddr.Empty() ? fromAddr : transport.quotedDstAddr;
        reply.probeDst = reply.probeDstAddr.Text();
        reply.fromAddr = fromAddr;
        reply.probeSrcPort = transport.probeSrcPort;
        reply.probeDstPort = transport.probeDstPort;
        reply.probeIdent = transport.probeIdent;
        reply.probeDscp = transport.quotedDscp;
        reply.probeUdpChecksum = transport.probeUdpChecksum;
        reply.probeFlowSeq = transport.probeFlowSeq;
        reply.hasProbeTcpSeq = transport.hasProbeTcpSeq;
        reply.probeTcpSeq = transport.probeTcpSeq;
        reply.fromIp = fromAddr.Text();
        reply.origSeq = transport.origSeq;
        // 100-ns ticks since 1970; the header fields are taken as signed 32-bit values.
        const int64_t sec = static_cast<int32_t>(header.tsSec);
        const int64_t usec = static_cast<int32_t>(header.tsUsec);
        reply.timestamp = (sec * 1000000 + usec) * 10;
        reply.type = transport.type;
        reply.code = transport.code;
    }
    return result;
}
