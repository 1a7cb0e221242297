#pragma once
#include <cstdint>
#include <string>

#include "capture/Packet.h"
#include "probe/ProbePackets.h"

// What marks a run's probes as its own on the wire: where they go and the ports or echo
// identifier they leave with.
struct ProbeIdentity {
    int32_t protocol = kProbeUdp;
    std::string targetIp;          // dotted address every probe is sent to
    uint16_t udpSourcePort = 0;    // local port of the UDP probe socket
    uint16_t icmpIdentifier = 0;   // echo identifier of the ICMP probes
    int32_t basePort = kProbeBasePort;
    IpAddress target;              // targetIp, binary: what replies are matched on
    bool fixedFlow = false;        // one flow for the run: seq carried as ProbePackets.h says
};

// The sequence number of the probe that `reply` answers, or -1 when it answers none of the
// probes `id` describes. An echo reply must come from the target with our identifier; an ICMP
// error must quote a datagram sent to the target with our ports or identifier; a TCP segment
// must come from the target's probed port to one of our probe ports. Anything else (another
// program's pings and traceroutes, a reply of the wrong protocol) is not ours. With a fixed
// flow the ports must be the run's own and the number comes from the UDP checksum or the TCP
// sequence (acknowledgement) number instead.
int32_t MatchProbeReply(const SniffResult& reply, const ProbeIdentity& id);
