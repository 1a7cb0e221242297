#include "capture/Layers.h"
#include "capture/TextFormat.h"

namespace {
constexpr uint8_t kHopByHop = 0;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kRouting = 43;
constexpr uint8_t kFragment = 44;
constexpr uint8_t kAuthentication = 51;
constexpr uint8_t kProtoIcmpv6 = 58;
constexpr uint8_t kDestinationOptions = 60;
constexpr size_t kIpv6HeaderLength = 40;
// Real datagrams carry a handful of extension headers at most (RFC 8200 orders at most six
// kinds, destination options twice); anything longer is a crafted chain.
constexpr int kMaxExtensionHeaders = 8;
}  // namespace

Ipv6Chain WalkIpv6Chain(const ByteReader& ip) {
    Ipv6Chain chain;
    chain.protocol = ip.u8(6);
    size_t offset = kIpv6HeaderLength;
    for (int seen = 0;; ++seen) {
        size_t length = 0;
        switch (chain.protocol) {
            case kHopByHop:
            case kRouting:
            case kDestinationOptions:
                if (!ip.AtLeast(offset + 2)) break;
                length = (size_t{ip.u8(offset + 1)} + 1) * 8;
                break;
            case kFragment:
                if (!ip.AtLeast(offset + 8)) break;
                length = 8;
                chain.fragmentOffset = static_cast<uint16_t>(ip.be16(offset + 2) & 0xFFF8);
                if (chain.fragmentOffset != 0) chain.laterFragment = true;
                break;
            case kAuthentication:
                if (!ip.AtLeast(offset + 2)) break;
                length = (size_t{ip.u8(offset + 1)} + 2) * 4;
                break;
            default:
                chain.upperOffset = offset;
                chain.complete = true;
                return chain;
        }
        if (length == 0 || !ip.AtLeast(offset + length)) {
            chain.truncated = true;
            chain.upperOffset = offset;
            return chain;
        }
        if (seen == kMaxExtensionHeaders) {
            chain.malformed = true;
            chain.upperOffset = offset;
            return chain;
        }
        chain.protocol = ip.u8(offset);
        offset += length;
        if (chain.laterFragment) {
            // The rest of a later fragment continues some earlier fragment's bytes: nothing in
            // it is a header.
            chain.upperOffset = offset;
            chain.complete = true;
            return chain;
        }
    }
}

// IPv6 (RFC 8200). Same texts as IPv4 with the hop limit in place of the TTL; addresses in
// RFC 5952 form. A later fragment names its protocol but is not decoded further, and its
// bytes are no payload: they would be read as the start of a SIP message or an RTP header.
DecodeResult DecodeIpv6(const ByteReader& ip, const FrameHeader& header, PacketLogEntry& entry,
                        SniffResult& reply) {
    LayerFlags flags;
    if ((ip.u8(0) >> 4) != 6) flags.malformed = true;
    const uint8_t hopLimit = ip.u8(7);
    std::string fromIp = Ipv6Text(ip.bytes(8, 16));
    entry.source = fromIp;
    entry.destination = Ipv6Text(ip.bytes(24, 16));
    entry.srcAddr = IpAddress::FromV6(ip.bytes(8, 16));
    entry.dstAddr = IpAddress::FromV6(ip.bytes(24, 16));

    const Ipv6Chain chain = WalkIpv6Chain(ip);
    if (chain.truncated) flags.truncated = true;
    if (chain.malformed) flags.malformed = true;
    entry.ipProtocol = chain.protocol;
    switch (chain.protocol) {
        case kProtoIcmpv6: entry.protocol = "ICMPv6"; break;
        case kProtoUdp: entry.protocol = "UDP"; break;
        case kProtoTcp: entry.protocol = "TCP"; break;
        default: entry.protocol = "Other (" + Decimal(chain.protocol) + ")"; break;
    }
    entry.info = "[HopLimit=";
    AppendDecimal(entry.info, hopLimit);
    entry.info += "] ";

    TransportResult transport;
    if (chain.laterFragment) {
        entry.info += "[Fragment Offset=";
        AppendDecimal(entry.info, chain.fragmentOffset);
        entry.info += "]";
        return FinishNetworkLayer(ip, ip.size(), transport, flags, header, reply, std::move(fromIp));
    }
    if (!chain.complete) {
        entry.info += chain.malformed ? "[Too Many ExtHdr]" : "[TooShort for ExtHdr]";
        return FinishNetworkLayer(ip, ip.size(), transport, flags, header, reply, std::move(fromIp));
    }
    const ByteReader l4 = ip.Sub(chain.upperOffset);
    switch (chain.protocol) {
        case kProtoUdp: transport = DecodeUdp(l4, entry, flags); break;
        case kProtoTcp: transport = DecodeTcp(l4, entry, flags); break;
        case kProtoIcmpv6: transport = DecodeIcmpv6(l4, entry, flags); break;
        default: break;
    }
    return FinishNetworkLayer(ip, chain.upperOffset, transport, flags, header, reply, std::move(fromIp));
}
