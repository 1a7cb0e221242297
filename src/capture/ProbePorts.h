#pragma once
// The ports that tie a probe to its replies, and the capture filter built from them. The probe
// builder, the frame decoder and the MTR engine all take them from here, so a change of port
// plan cannot leave one layer matching ports that another no longer sends. They live in the
// capture library, which the probe library builds on: its decoder tells replies by them.
#include <cstddef>
#include <cstdint>
#include <string>

// UDP probes go to port kProbeBasePort + seq; TCP probes leave from it.
constexpr int32_t kProbeBasePort = 33434;
constexpr int32_t kProbeLastPort = 65535;
// Destination port of TCP SYN probes; the answers come back from it.
constexpr uint16_t kProbeTcpPort = 80;

// The first bytes of a fixed-flow UDP probe's payload; its probe number follows (16 bits).
inline constexpr char kProbeFlowMagic[] = "MTR_FLOW";
inline constexpr size_t kProbeFlowMagicLength = 8;

// UDP destination port / TCP source port of probe `seq`: (basePort + seq) modulo 65536.
constexpr uint16_t ProbePort(int32_t basePort, int32_t seq) {
    return static_cast<uint16_t>((static_cast<int64_t>(basePort) + seq) & 0xFFFF);
}

// Everything a reply to any of the three probe kinds can look like: ICMP and ICMPv6 (echo
// replies and errors), UDP to the probe ports (the probes themselves, for the live log) and
// TCP from the probed port, over either IP version. The icmp6/udp/tcp primitives only look at
// the IPv6 header's own next header, so a reply behind a hop-by-hop, routing or destination
// options header would be dropped before the decoder, which walks that chain, could see it:
// such datagrams all pass. "ip6 protochain" would walk the chain in the filter, but its loop
// is a backward jump that neither the Linux kernel nor the Windows capture driver accepts.
inline std::string ProbeCaptureFilter() {
    return "icmp or icmp6 or (ip6 and (ip6[6] == 0 or ip6[6] == 43 or ip6[6] == 60)) or (udp and dst portrange " +
           std::to_string(kProbeBasePort) + "-" + std::to_string(kProbeLastPort) + ") or (tcp and src port " +
           std::to_string(kProbeTcpPort) + ")";
}
