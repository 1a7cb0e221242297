#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "probe/ProbePorts.h"

// Wire images of the three probe kinds. Pure functions, so every byte can be checked
// without a network.

// Probe kinds; also the index of the MTR protocol combo.
enum ProbeProtocol : int32_t {
    kProbeUdp = 0,
    kProbeIcmp = 1,
    kProbeTcp = 2,
};

// Internet checksum (RFC 1071): one's-complement of the one's-complement sum of 16-bit
// big-endian words, an odd trailing byte padded with zero.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// "MTR_SEQ=<seq>", no terminating zero.
std::string UdpProbePayload(int32_t seq);

constexpr size_t kIcmpEchoSize = 32;
// Echo request: type 8, code 0, checksum, identifier, low 16 bits of seq, 24 zero bytes.
std::array<uint8_t, kIcmpEchoSize> BuildIcmpEcho(uint16_t identifier, int32_t seq);

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
