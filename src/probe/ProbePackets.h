#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/ProbePorts.h"

// Wire images of the three probe kinds. Pure functions, so every byte can be checked
// without a network.

// Probe kinds; also the index of the MTR protocol combo.
enum ProbeProtocol : int32_t {
    kProbeUdp = 0,
    kProbeIcmp = 1,
    kProbeTcp = 2,
};

// Address family of a trace; also the index of the MTR "IPv4/IPv6" combo. With IPv4 a name
// that has both kinds of address is traced over IPv4, and IPv6 serves only a target that has
// no IPv4 address (an IPv6 literal, an IPv6-only name); with IPv6 only IPv6 is used.
enum ProbeFamily : int32_t {
    kFamilyIpv4 = 0,
    kFamilyIpv6 = 1,
};

// Internet checksum (RFC 1071): one's-complement of the one's-complement sum of 16-bit
// big-endian words, an odd trailing byte padded with zero.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// "MTR_SEQ=<seq>", no terminating zero.
std::string UdpProbePayload(int32_t seq);

constexpr size_t kIcmpEchoSize = 32;
// Echo request: type 8, code 0, checksum, identifier, low 16 bits of seq, 24 zero bytes.
std::array<uint8_t, kIcmpEchoSize> BuildIcmpEcho(uint16_t identifier, int32_t seq);

// ICMPv6 echo request (RFC 4443): type 128, the same identifier, sequence and padding, and
// the checksum left zero: it covers a pseudo-header with the source address, which the
// kernel picks and fills in itself on ICMPv6 sockets.
std::array<uint8_t, kIcmpEchoSize> BuildIcmpv6Echo(uint16_t identifier, int32_t seq);

struct TcpSynParams {
    std::array<uint8_t, 6> dstMac{};
    std::array<uint8_t, 6> srcMac{};
    uint32_t srcIpNet = 0;  // network byte order
    uint32_t dstIpNet = 0;
    uint16_t ipId = 0;
    int32_t ttl = 0;
    int32_t basePort = kProbeBasePort;
    int32_t seq = 0;
};

constexpr size_t kTcpSynFrameSize = 54;
// Ethernet II + IPv4 (20 bytes, no options) + TCP SYN to port 80 (20 bytes, no payload).
std::array<uint8_t, kTcpSynFrameSize> BuildTcpSynFrame(const TcpSynParams& p);

struct TcpSyn6Params {
    std::array<uint8_t, 6> dstMac{};
    std::array<uint8_t, 6> srcMac{};
    std::array<uint8_t, 16> srcIp{};
    std::array<uint8_t, 16> dstIp{};
    int32_t hopLimit = 0;
    int32_t basePort = kProbeBasePort;
    int32_t seq = 0;
};

constexpr size_t kTcpSyn6FrameSize = 74;
// Ethernet II + IPv6 (40 bytes, no extension header) + the same TCP SYN, its checksum over
// the IPv6 pseudo-header (RFC 8200 8.1).
std::array<uint8_t, kTcpSyn6FrameSize> BuildTcpSyn6Frame(const TcpSyn6Params& p);
