#include "capture/LinkLayer.h"

#include <cstdio>

namespace {

constexpr uint32_t kEtherTypeIpv4 = 0x0800;
constexpr uint32_t kEtherTypeVlan = 0x8100;
constexpr uint32_t kEtherTypeIpv6 = 0x86dd;
constexpr size_t kMinIpv4Header = 20;
constexpr size_t kIpv6Header = 40;
constexpr int kDltRawOpenBsd = 14;  // OpenBSD's number for raw IP; savefiles may carry it

// A frame whose link header is complete and says it carries neither IPv4 nor IPv6 (ARP, an
// IPX or LLC frame, another address family) is whole as far as we care: not ours, however
// short, and shown as its hex dump. An IP frame must hold the link layer plus one minimal
// IPv4 header before anything is decoded; below that it is only counted (and saved). An
// IPv6 frame whose fixed header was cut short is shown as before IPv6 was decoded (the hex
// dump), counted as truncated.
LinkInfo Finish(LinkInfo info, const ByteReader& frame) {
    if (info.kind != LinkInfo::Ipv4 && info.kind != LinkInfo::Ipv6) {
        info.usable = true;
        info.status = DecodeStatus::NotMine;
        return info;
    }
    if (!frame.AtLeast(info.netOffset + kMinIpv4Header)) {
        info.usable = false;
        info.status = DecodeStatus::Truncated;
        return info;
    }
    info.usable = true;
    switch (info.kind) {
        case LinkInfo::Ipv4: info.status = DecodeStatus::Decoded; break;
        case LinkInfo::Ipv6:
            info.status = DecodeStatus::Decoded;
            if (!frame.AtLeast(info.netOffset + kIpv6Header)) {
                info.kind = LinkInfo::OtherEther;
                info.status = DecodeStatus::Truncated;
            }
            break;
        default: break;
    }
    return info;
}

LinkInfo FromEtherType(uint32_t etherType, size_t netOffset, size_t hexOffset) {
    LinkInfo info;
    info.kind = etherType == kEtherTypeIpv4   ? LinkInfo::Ipv4
                : etherType == kEtherTypeIpv6 ? LinkInfo::Ipv6
                                              : LinkInfo::OtherEther;
    info.value = etherType;
    info.netOffset = netOffset;
    info.hexOffset = hexOffset;
    return info;
}

LinkInfo Truncated() {
    LinkInfo info;
    info.status = DecodeStatus::Truncated;
    return info;
}

// Ethernet II. One IEEE 802.1Q tag is looked at (libpcap puts the tag the kernel stripped
// back into the frame); a second tag shows up as EtherType 0x8100. The hex dump of a frame
// that is not IPv4 starts at offset 14, right after the untagged header, tagged or not.
LinkInfo ParseEthernet(const ByteReader& frame) {
    if (!frame.AtLeast(14)) return Truncated();
    uint32_t etherType = frame.be16(12);
    size_t linkLength = 14;
    if (etherType == kEtherTypeVlan) {
        if (!frame.AtLeast(18)) return Truncated();
        linkLength = 18;
        etherType = frame.be16(16);
    }
    return Finish(FromEtherType(etherType, linkLength, 14), frame);
}

// Linux cooked capture v1 ("any" device): 16-byte header, protocol at offset 14. libpcap
// re-inserts a stripped VLAN tag at offset 14 here as well, moving the protocol to 18.
LinkInfo ParseLinuxSll(const ByteReader& frame) {
    if (!frame.AtLeast(16)) return Truncated();
    uint32_t protocol = frame.be16(14);
    size_t linkLength = 16;
    if (protocol == kEtherTypeVlan) {
        if (!frame.AtLeast(20)) return Truncated();
        linkLength = 20;
        protocol = frame.be16(18);
    }
    return Finish(FromEtherType(protocol, linkLength, linkLength), frame);
}

// Linux cooked capture v2: 20-byte header, protocol at offset 0.
LinkInfo ParseLinuxSll2(const ByteReader& frame) {
    if (!frame.AtLeast(20)) return Truncated();
    return Finish(FromEtherType(frame.be16(0), 20, 20), frame);
}

// BSD loopback: a 4-byte address family. DLT_NULL stores it in the byte order of the
// machine that captured (so a savefile from another machine may carry either order),
// DLT_LOOP in network order; AF_INET is 2 on every system. The IPv6 value differs per
// system (10 Linux, 24 NetBSD/OpenBSD, 28 FreeBSD, 30 macOS).
LinkInfo ParseLoopback(const ByteReader& frame) {
    if (!frame.AtLeast(4)) return Truncated();
    uint32_t be = frame.be32(0);
    uint32_t le = frame.le32(0);
    uint32_t family = be < le ? be : le;
    LinkInfo info;
    info.netOffset = 4;
    info.hexOffset = 4;
    if (family == 2) {
        info.kind = LinkInfo::Ipv4;
        info.value = kEtherTypeIpv4;
    } else if (family == 10 || family == 24 || family == 28 || family == 30) {
        info.kind = LinkInfo::Ipv6;
        info.value = kEtherTypeIpv6;
    } else {
        info.kind = LinkInfo::OtherFamily;
        info.value = family;
    }
    return Finish(info, frame);
}

// Raw IP: no link header; the version nibble says what follows. DLT_IPV4 and DLT_IPV6
// promise their version: a wrong nibble is then the IP decoder's to call malformed.
enum class RawVersion { Any, Only4, Only6 };

LinkInfo ParseRaw(const ByteReader& frame, RawVersion promised) {
    if (!frame.AtLeast(1)) return Truncated();
    LinkInfo info;
    uint32_t version = frame.u8(0) >> 4;
    if (promised == RawVersion::Only4 || (promised == RawVersion::Any && version == 4)) {
        info.kind = LinkInfo::Ipv4;
        info.value = kEtherTypeIpv4;
    } else if (promised == RawVersion::Only6 || version == 6) {
        info.kind = LinkInfo::Ipv6;
        info.value = kEtherTypeIpv6;
    } else {
        info.kind = LinkInfo::OtherRaw;
        info.value = version;
    }
    return Finish(info, frame);
}

}  // namespace

LinkInfo ParseLinkLayer(int linkType, const ByteReader& frame) {
    switch (linkType) {
        case kLinkEthernet: return ParseEthernet(frame);
        case kLinkLinuxSll: return ParseLinuxSll(frame);
        case kLinkLinuxSll2: return ParseLinuxSll2(frame);
        case kLinkNull:
        case kLinkLoop: return ParseLoopback(frame);
        case kLinkRaw:
        case kDltRawOpenBsd: return ParseRaw(frame, RawVersion::Any);
        case kLinkRawIpv4: return ParseRaw(frame, RawVersion::Only4);
        case kLinkRawIpv6: return ParseRaw(frame, RawVersion::Only6);
        default: return LinkInfo{};
    }
}

bool IsSupportedLinkType(int linkType) {
    switch (linkType) {
        case kLinkEthernet:
        case kLinkLinuxSll:
        case kLinkLinuxSll2:
        case kLinkNull:
        case kLinkLoop:
        case kLinkRaw:
        case kDltRawOpenBsd:
        case kLinkRawIpv4:
        case kLinkRawIpv6: return true;
        default: return false;
    }
}

size_t MinimumFrameLength(int linkType) {
    switch (linkType) {
        case kLinkEthernet: return 14;
        case kLinkLinuxSll: return 16;
        case kLinkLinuxSll2: return 20;
        case kLinkNull:
        case kLinkLoop: return 4;
        default: return 1;
    }
}

std::string NonIpv4ProtocolText(const LinkInfo& link) {
    char text[32];
    switch (link.kind) {
        case LinkInfo::OtherFamily: std::snprintf(text, sizeof text, "AF %u", link.value); break;
        case LinkInfo::OtherRaw: std::snprintf(text, sizeof text, "IP v%u", link.value); break;
        default: std::snprintf(text, sizeof text, "Eth 0x%x", link.value); break;
    }
    return text;
}
