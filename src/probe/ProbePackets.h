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

// One flow for the whole run ("fixed flow"). A load balancer that hashes the first bytes of
// the transport header (ports; ICMP type, code and checksum) sends every probe of the run the
// same way, so the sequence number must live where no such hash looks:
// - UDP keeps its source and destination port (kProbeBasePort) and carries seq + 1 in its
//   checksum, made so by two payload bytes. The checksum sits in the first 8 bytes of the UDP
//   header, which every ICMP error quotes (RFC 792), while a quote of the payload is only
//   guaranteed by RFC 1812 routers, and the IP identification exists in IPv4 only and cannot
//   be set on an ordinary UDP socket; so the checksum it is. The payload names the number as
//   well ("MTR_FLOW" and seq), and a quote that holds it is matched on that: where the
//   checksum is left to the interface (veth, loopback) the quoted one was never finished.
// - ICMP keeps its identifier, and its checksum stays constant: a payload word is the
//   one's complement of the sequence number, so their sum never changes.
// - TCP leaves from kProbeBasePort always and carries seq in its sequence number, which the
//   quote's first 8 bytes hold and a SYN-ACK or RST acknowledges plus one.

// DSCP (0..63) as the IPv4 TOS / IPv6 traffic class byte (ECN bits zero).
constexpr uint8_t DscpTos(int32_t dscp) { return static_cast<uint8_t>((dscp & 0x3F) << 2); }

constexpr size_t kUdpFlowPayloadSize = 12;
// The UDP checksum of fixed-flow probe `seq`: never 0 (no checksum) for any probe number.
constexpr uint16_t UdpFlowChecksum(int32_t seq) { return static_cast<uint16_t>((seq & 0xFFFF) + 1); }
// The probe number a fixed-flow checksum carries.
constexpr int32_t UdpFlowSeq(uint16_t checksum) { return static_cast<int32_t>(checksum) - 1; }
// Payload of fixed-flow UDP probe `seq`: "MTR_FLOW", seq (16 bits) and the two bytes that
// make the datagram's checksum UdpFlowChecksum(seq), for the given addresses (network order)
// and ports (host order).
std::array<uint8_t, kUdpFlowPayloadSize> BuildUdpFlowPayload(uint32_t srcIpNet, uint32_t dstIpNet,
                                                             uint16_t srcPort, uint16_t dstPort, int32_t seq);
std::array<uint8_t, kUdpFlowPayloadSize> BuildUdpFlowPayload6(const std::array<uint8_t, 16>& srcIp,
                                                              const std::array<uint8_t, 16>& dstIp, uint16_t srcPort,
                                                              uint16_t dstPort, int32_t seq);
// Checksum of a UDP datagram (header with a zero checksum field, then payload) over the
// IPv4 or IPv6 pseudo-header, as the kernel computes it.
uint16_t UdpChecksum(uint32_t srcIpNet, uint32_t dstIpNet, const uint8_t* udp, size_t length);
uint16_t UdpChecksum6(const std::array<uint8_t, 16>& srcIp, const std::array<uint8_t, 16>& dstIp, const uint8_t* udp,
                      size_t length);

constexpr size_t kIcmpEchoSize = 32;
// Echo request: type 8, code 0, checksum, identifier, low 16 bits of seq, 24 zero bytes; with
// `fixedFlow` bytes 8-9 hold the one's complement of the sequence, so the checksum is the
// same for every seq.
std::array<uint8_t, kIcmpEchoSize> BuildIcmpEcho(uint16_t identifier, int32_t seq, bool fixedFlow = false);

// ICMPv6 echo request (RFC 4443): type 128, the same identifier, sequence and padding, and
// the checksum left zero: it covers a pseudo-header with the source address, which the
// kernel picks and fills in itself on ICMPv6 sockets (constant with `fixedFlow` as well).
std::array<uint8_t, kIcmpEchoSize> BuildIcmpv6Echo(uint16_t identifier, int32_t seq, bool fixedFlow = false);

struct TcpSynParams {
    std::array<uint8_t, 6> dstMac{};
    std::array<uint8_t, 6> srcMac{};
    uint32_t srcIpNet = 0;  // network byte order
    uint32_t dstIpNet = 0;
    uint16_t ipId = 0;
    int32_t ttl = 0;
    int32_t basePort = kProbeBasePort;
    int32_t seq = 0;
    uint8_t tos = 0;         // DscpTos of the run
    bool fixedFlow = false;  // source port basePort for every seq
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
    uint8_t trafficClass = 0;  // DscpTos of the run
    bool fixedFlow = false;
};

constexpr size_t kTcpSyn6FrameSize = 74;
// Ethernet II + IPv6 (40 bytes, no extension header) + the same TCP SYN, its checksum over
// the IPv6 pseudo-header (RFC 8200 8.1).
std::array<uint8_t, kTcpSyn6FrameSize> BuildTcpSyn6Frame(const TcpSyn6Params& p);
