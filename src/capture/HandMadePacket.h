#pragma once
#include <string_view>

#include "capture/Packet.h"

// Packets made without a frame (tests, benchmarks, fuzzing) name their endpoints as the
// packet log writes them; this gives such a packet the binary fields a decoded frame has.
// Texts that are not "address:port" leave the address empty and the ports unset.
inline void SetEndpointsFromText(PacketLogEntry& e, std::string_view source, std::string_view destination,
                                 uint8_t protocol = kIpProtoUdp) {
    e.ipProtocol = protocol;
    const std::optional<Endpoint> s = Endpoint::Parse(source);
    const std::optional<Endpoint> d = Endpoint::Parse(destination);
    if (s && d) {
        e.hasPorts = true;
        e.srcAddr = s->address;
        e.srcPort = s->port;
        e.dstAddr = d->address;
        e.dstPort = d->port;
        return;
    }
    if (auto a = IpAddress::Parse(source)) e.srcAddr = *a;
    if (auto a = IpAddress::Parse(destination)) e.dstAddr = *a;
}
