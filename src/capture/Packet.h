#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One capture device as libpcap lists it.
struct NetDevice {
    std::string name;         // given back to Sniffer::Init
    std::string description;  // libpcap's description, or the name when there is none
};

// Link types the decoder understands (values are libpcap's DLT_* numbers).
enum LinkType : int32_t {
    kLinkNull = 0,          // DLT_NULL, BSD loopback
    kLinkEthernet = 1,      // DLT_EN10MB
    kLinkRaw = 12,          // DLT_RAW (savefiles say LINKTYPE_RAW 101; libpcap maps it to 12)
    kLinkLoop = 108,        // DLT_LOOP
    kLinkRawIpv4 = 228,     // DLT_IPV4
    kLinkLinuxSll = 113,    // DLT_LINUX_SLL
    kLinkLinuxSll2 = 276,   // DLT_LINUX_SLL2
};

// One captured frame, decoded for the packet log and the flow monitor.
struct PacketLogEntry {
    std::string time;         // local "%H:%M:%S.mmm"
    std::string source;       // "a.b.c.d" or "a.b.c.d:port"
    std::string destination;
    std::string protocol;     // "ICMP", "UDP", "TCP", "Other (n)", "Eth 0x..."; not IPv4 on
                              // BSD loopback / raw IP: "AF n" / "IP vn" (IPv6 is "Eth 0x86dd")
    std::string info;
    std::vector<uint8_t> payload;  // bytes after the transport header
    std::vector<uint8_t> rawData;  // the whole captured frame, link header included
    uint32_t tsSec = 0;
    uint32_t tsUsec = 0;
    uint32_t wireLength = 0;
    int32_t linkType = kLinkEthernet;  // link type of rawData, kept so savefiles stay true
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
    std::string fromIp;
    int32_t origSeq = 0;
    int64_t timestamp = 0;  // 100-ns ticks since 1970-01-01 UTC
    int32_t type = 0;
    int32_t code = 0;

    // What the reply says about the probe it answers, so that the engine can tell its own
    // probes from any other traffic that looks alike (another program's pings, a stray TCP
    // segment). For ICMP errors these are the quoted datagram's fields; for echo replies and
    // TCP segments the probe went to the reply's source, and its ports are the reply's swapped.
    ReplyKind kind = ReplyKind::None;
    std::string probeDst;       // dotted address the probe was sent to
    uint16_t probeSrcPort = 0;  // UDP/TCP source port of the probe
    uint16_t probeDstPort = 0;  // UDP/TCP destination port of the probe
    uint16_t probeIdent = 0;    // ICMP echo identifier
};
