#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/NetAddress.h"

// One capture device as libpcap lists it.
struct NetDevice {
    std::string name;         // given back to Sniffer::Init
    std::string description;  // libpcap's description, or the name when there is none
};

// Said wherever a device list comes back empty (device combos, orvanta-cli devices).
inline constexpr const char* kNoCaptureDeviceText = "Nenhum dispositivo encontrado (Verifique permissoes de captura)";

// Link types the decoder understands (values are libpcap's DLT_* numbers).
enum LinkType : int32_t {
    kLinkNull = 0,          // DLT_NULL, BSD loopback
    kLinkEthernet = 1,      // DLT_EN10MB
    kLinkRaw = 12,          // DLT_RAW (savefiles say LINKTYPE_RAW 101; libpcap maps it to 12)
    kLinkLoop = 108,        // DLT_LOOP
    kLinkRawIpv4 = 228,     // DLT_IPV4 (the same number in savefiles)
    kLinkRawIpv6 = 229,     // DLT_IPV6 (likewise)
    kLinkLinuxSll = 113,    // DLT_LINUX_SLL
    kLinkLinuxSll2 = 276,   // DLT_LINUX_SLL2
};

// One captured frame, decoded for the packet log and the flow monitor.
struct PacketLogEntry {
    std::string time;         // local "%H:%M:%S.mmm"
    std::string source;       // "a.b.c.d", "a.b.c.d:port", "2001:db8::1", "[2001:db8::1]:port"
    std::string destination;
    std::string protocol;     // "ICMP", "ICMPv6", "UDP", "TCP", "Other (n)", "Eth 0x..."; not
                              // IP on BSD loopback / raw IP: "AF n" / "IP vn"
    std::string info;
    std::vector<uint8_t> rawData;  // the whole captured frame, link header included
    // The bytes after the transport header are a part of rawData, not a copy of their own: a
    // copy would cost a quarter of a buffered packet's memory and an allocation per packet.
    // Usually the frame's tail; a frame padded to the link's minimum length ends after them.
    uint32_t payloadOffset = 0;
    uint32_t payloadLength = 0;
    uint32_t tsSec = 0;
    uint32_t tsUsec = 0;
    uint32_t wireLength = 0;
    int32_t linkType = kLinkEthernet;  // link type of rawData, kept so savefiles stay true

    // The same facts as binary fields, for the engines: they match, key and classify on
    // these and never parse the texts above back. A frame that is not IP has empty
    // addresses and protocol 0; ports are set (hasPorts) once the UDP/TCP header was read.
    IpAddress srcAddr;
    IpAddress dstAddr;
    uint8_t ipProtocol = 0;  // kIpProtoUdp, kIpProtoTcp, ...: the datagram's upper layer
    bool hasPorts = false;
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint32_t tcpSeq = 0;     // TCP: sequence number and flags of the segment
    uint8_t tcpFlags = 0;    // FIN 0x01, SYN 0x02, RST 0x04, ACK 0x10
    // The frame that completes a fragmented datagram (with reassembly on) carries the whole
    // datagram's bytes after its UDP/TCP header here, and Payload() is them; rawData stays the
    // captured frame, so savefiles stay true. Empty for every other frame.
    std::vector<uint8_t> reassembled;

    Endpoint Source() const { return {srcAddr, srcPort}; }
    Endpoint Destination() const { return {dstAddr, dstPort}; }
    // Capture time in microseconds since 1970-01-01 UTC.
    int64_t TimeMicros() const { return int64_t{tsSec} * 1000000 + tsUsec; }

    std::span<const uint8_t> Payload() const {
        if (!reassembled.empty()) return reassembled;
        if (payloadOffset > rawData.size() || payloadLength > rawData.size() - payloadOffset) return {};
        return std::span<const uint8_t>(rawData).subspan(payloadOffset, payloadLength);
    }
    // For entries made without a frame (imports of text, tests): the bytes go after rawData.
    void SetPayload(std::span<const uint8_t> bytes) {
        payloadOffset = static_cast<uint32_t>(rawData.size());
        payloadLength = static_cast<uint32_t>(bytes.size());
        rawData.insert(rawData.end(), bytes.begin(), bytes.end());
    }
};

// The kind of probe a reply answers, as the reply shows it.
enum class ReplyKind : int32_t {
    None,
    EchoReply,   // ICMP echo reply
    QuotedUdp,   // ICMP error quoting a UDP datagram
    QuotedIcmp,  // ICMP error quoting an ICMP message (an echo request)
    QuotedTcp,   // ICMP error quoting a TCP segment
    TcpSegment,  // TCP segment to a probe port (SYN-ACK, RST, ...)
};

// One reply to a probe, recognised by the capture loop.
struct SniffResult {
    bool valid = false;
    std::string fromIp;       // dotted IPv4 or RFC 5952 IPv6 text
    IpAddress fromAddr;       // the same, binary: what the engine matches on
    int32_t origSeq = 0;
    int64_t timestamp = 0;  // 100-ns ticks since 1970-01-01 UTC
    int32_t type = 0;  // ICMP type; an ICMPv6 reply gives its ICMP equivalent (0, 3, 11)
    int32_t code = 0;  // likewise (ICMPv6 port unreachable is code 3)

    // What the reply says about the probe it answers, so that the engine can tell its own
    // probes from any other traffic that looks alike (another program's pings, a stray TCP
    // segment). For ICMP errors these are the quoted datagram's fields; for echo replies and
    // TCP segments the probe went to the reply's source, and its ports are the reply's swapped.
    ReplyKind kind = ReplyKind::None;
    std::string probeDst;       // address the probe was sent to (dotted or RFC 5952)
    IpAddress probeDstAddr;     // the same, binary
    uint16_t probeSrcPort = 0;  // UDP/TCP source port of the probe
    uint16_t probeDstPort = 0;  // UDP/TCP destination port of the probe
    uint16_t probeIdent = 0;    // ICMP echo identifier
    // The rest of what an ICMP error quotes of the probe: the DSCP of the quoted IP header (as
    // the router that sent the error received it; -1 when the reply quotes none), the UDP
    // checksum, and the TCP sequence number. For a TCP segment the sequence number is its
    // acknowledgement number minus one (what a SYN-ACK or RST to a SYN acknowledges).
    int32_t probeDscp = -1;
    uint16_t probeUdpChecksum = 0;
    int32_t probeFlowSeq = -1;  // the number a quoted fixed-flow UDP payload carries; -1: none
    bool hasProbeTcpSeq = false;
    uint32_t probeTcpSeq = 0;
};
