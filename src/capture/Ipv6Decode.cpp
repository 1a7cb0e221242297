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

Ipv6Chain WalkIpv6Chain(const ByteReader& ip) { return WalkIpv6Headers(ip, ip.u8(6), kIpv6HeaderLength); }

Ipv6Chain WalkIpv6Headers(const ByteReader& ip, uint8_t first, size_t offset) {
    Ipv6Chain chain;
    chain.protocol = first;
    chain.upperOffset = offset;
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
                if (!chain.fragmented) {  // a second one would be nested: only the first counts
                    chain.fragmented = true;
                    chain.firstFragmentOffset = chain.fragmentOffset;
                    chain.moreFragments = (ip.be16(offset + 2) & 0x0001) != 0;
                    chain.identification = ip.be32(offset + 4);
                    chain.fragmentNext = ip.u8(offset);
                    chain.fragmentDataOffset = offset + 8;
                }
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

namespace {
// The fragmentable part runs from the Fragment header to the payload length (RFC 8200 4.5),
// not to the end of the frame. An atomic fragment (offset 0, no More Fragments, RFC 6946)
// is a whole datagram and gives none.
IpFragment Ipv6Fragment(const ByteReader& ip, const Ipv6Chain& chain) {
    IpFragment f;
    if (!chain.fragmented || (chain.firstFragmentOffset == 0 && !chain.moreFragments)) return f;
    f.present = true;
    f.family = IpAddress::V6;
    f.identification = chain.identification;
    f.offset = chain.firstFragmentOffset;
    f.more = chain.moreFragments;
    f.protocol = chain.fragmentNext;
    const size_t end = kIpv6HeaderLength + ip.be16(4);
    // A payload length of 0 is a jumbogram (RFC 2675), which is never fragmented.
    if (ip.be16(4) == 0 || end < chain.fragmentDataOffset) {
        f.malformed = true;
        return f;
    }
    f.bytes = ip.bytes(chain.fragmentDataOffset, end - chain.fragmentDataOffset);
    f.complete = ip.AtLeast(end);
    return f;
}
}  // namespace

// IPv6 (RFC 8200). Same texts as IPv4 with the hop limit in place of the TTL; addresses in
// RFC 5952 form. A later fragment names its protocol but is not decoded further, and its
// bytes are no payload: they would be read as the start of a SIP message or an RTP header.
DecodeResult DecodeIpv6(const ByteReader& ip, const FrameHeader& header, PacketLogEntry& entry,
                        SniffResult& reply, bool texts) {
    LayerFlags flags;
    flags.texts = texts;
    if ((ip.u8(0) >> 4) != 6) flags.malformed = true;
    const uint8_t hopLimit = ip.u8(7);
    entry.srcAddr = IpAddress::FromV6(ip.bytes(8, 16));
    entry.dstAddr = IpAddress::FromV6(ip.bytes(24, 16));

    const Ipv6Chain chain = WalkIpv6Chain(ip);
    if (chain.truncated) flags.truncated = true;
    if (chain.malformed) flags.malformed = true;
    entry.ipProtocol = chain.protocol;
    if (texts) {
        entry.source = Ipv6Text(ip.bytes(8, 16));
        entry.destination = Ipv6Text(ip.bytes(24, 16));
        switch (chain.protocol) {
            case kProtoIcmpv6: entry.protocol = "ICMPv6"; break;
            case kProtoUdp: entry.protocol = "UDP"; break;
            case kProtoTcp: entry.protocol = "TCP"; break;
            default: entry.protocol = "Other (" + Decimal(chain.protocol) + ")"; break;
        }
        entry.info = "[HopLimit=";
        AppendDecimal(entry.info, hopLimit);
        entry.info += "] ";
    }

    TransportResult transport;
    if (chain.laterFragment) {
        if (texts) {
            entry.info += "[Fragment Offset=";
            AppendDecimal(entry.info, chain.fragmentOffset);
            entry.info += "]";
        }
        DecodeResult r = FinishNetworkLayer(ip, ip.size(), transport, flags, header, reply, entry.srcAddr);
        r.fragment = Ipv6Fragment(ip, chain);
        return r;
    }
    if (!chain.complete) {
        if (texts) entry.info += chain.malformed ? "[Too Many ExtHdr]" : "[TooShort for ExtHdr]";
        DecodeResult r = FinishNetworkLayer(ip, ip.size(), transport, flags, header, reply, entry.srcAddr);
        r.fragment = Ipv6Fragment(ip, chain);
        return r;
    }
    const ByteReader l4 = ip.Sub(chain.upperOffset);
    switch (chain.protocol) {
        case kProtoUdp: transport = DecodeUdp(l4, entry, flags); break;
        case kProtoTcp: transport = DecodeTcp(l4, entry, flags); break;
        case kProtoIcmpv6: transport = DecodeIcmpv6(l4, entry, flags); break;
        default: break;
    }
    DecodeResult r = FinishNetworkLayer(ip, chain.upperOffset, transport, flags, header, reply, entry.srcAddr);
    r.fragment = Ipv6Fragment(ip, chain);
    return r;
}
