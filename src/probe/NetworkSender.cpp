#include "probe/NetworkSender.h"

#include <chrono>

#include "capture/Sniffer.h"
#include "capture/TextFormat.h"
#include "logs/Trace.h"
#include "platform/Sockets.h"

// How long a TCP probe may wait for the kernel to resolve a missing next-hop address.
constexpr int kNeighbourResolveMs = 1000;

int64_t WallClockTicks() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

NetworkSender::~NetworkSender() { Close(); }

bool NetworkSender::Init(const std::string& host, int32_t port) {
    Close();
    basePort = port;
    lastError = StartError::None;
    ipv6 = false;
    // The target first: its family decides which sockets the probes need.
    std::string text;
    auto status = platform::ResolveStatus::NotFound;
    if (family != kFamilyIpv6)
        status = resolver ? resolver(host, target, text) : platform::ResolveIpv4(host, target, text);
    // IPv6 when chosen, or for a target without IPv4 address. A test's own resolver answers
    // for IPv4 names only; an IPv6 literal still needs no name server.
    const bool tryIpv6 = family == kFamilyIpv6 || !resolver || host.find(':') != std::string::npos;
    if (status != platform::ResolveStatus::Ok && tryIpv6 &&
        platform::ResolveIpv6(host, target6) == platform::ResolveStatus::Ok) {
        status = platform::ResolveStatus::Ok;
        ipv6 = true;
        text = Ipv6Text(target6);  // the decoder's form, which replies are compared with
    }
    if (status != platform::ResolveStatus::Ok) {
        Trace("Cannot resolve host: " + host);
        lastError = StartError::HostNotResolved;
        return false;
    }
    if (!OpenProbeSockets()) {
        Trace("UDP Socket creation failed");
        lastError = StartError::SocketFailure;
        return false;
    }
    targetIp = text;
    Trace("Resolved " + host + " to " + targetIp);
    return true;
}

bool NetworkSender::OpenProbeSockets() {
    udpSocket = ipv6 ? platform::OpenUdpSocket6() : platform::OpenUdpSocket();
    if (udpSocket < 0) return false;
    // Replies quote the probe's source port; it is fixed now so that they can be told apart
    // from those of any other program's traceroute.
    udpSourcePort = ipv6 ? platform::BindEphemeralPort6(udpSocket) : platform::BindEphemeralPort(udpSocket);
    if (udpSourcePort == 0) return false;
    // The DSCP goes on the sockets once; raw-built TCP probes carry it in their own header.
    const int tos = DscpTos(dscp_);
    auto mark = [&](int fd, const char* what) {
        if (fd < 0 || tos == 0) return;
        const bool ok = ipv6 ? platform::SetSocketTrafficClass6(fd, tos) : platform::SetSocketTos(fd, tos);
        if (!ok) Trace(std::string("Cannot set the DSCP of the ") + what + " socket");
    };
    mark(udpSocket, "UDP");
    icmpSocket = ipv6 ? platform::OpenIcmpv6Socket(icmpDatagram, !icmpDatagramOnly)
                      : platform::OpenIcmpSocket(icmpDatagram, !icmpDatagramOnly);
    if (icmpSocket >= 0) {
        // A datagram socket's requests carry the kernel's identifier, not ours: bind to get
        // one now and read it back.
        icmpIdentifier = !icmpDatagram ? platform::ProcessIdLow16()
                         : ipv6        ? platform::BindEphemeralPort6(icmpSocket)
                                       : platform::BindEphemeralPort(icmpSocket);
        if (icmpDatagram && icmpIdentifier == 0) {
            platform::CloseSocket(icmpSocket);
            icmpSocket = -1;
        }
    }
    if (icmpSocket < 0) Trace("ICMP Socket creation failed (Run as Admin!)");
    mark(icmpSocket, "ICMP");
    return true;
}

int32_t NetworkSender::SendProbe(int32_t ttl, int32_t seq, int32_t protocol) {
    Trace("Send Request: TTL=" + std::to_string(ttl) + " SEQ=" + std::to_string(seq) +
          " Proto=" + std::to_string(protocol));
    switch (protocol) {
        case kProbeUdp: return SendUdp(ttl, seq);
        case kProbeIcmp: return SendIcmpEcho(ttl, seq);
        case kProbeTcp: return ipv6 ? SendTcpSyn6(ttl, seq) : SendTcpSyn(ttl, seq);
        default: return -1;
    }
}

bool NetworkSender::SourceAddress(uint32_t& srcNet) const {
    platform::RouteInfo route;
    platform::InterfaceInfo iface;
    if (!platform::LookupRoute(target, route)) return false;
    srcNet = route.prefSrc;
    if (srcNet == 0 && platform::LookupInterface(route.ifIndex, iface)) srcNet = iface.firstIpv4;
    return srcNet != 0;
}

bool NetworkSender::SourceAddress6(platform::Ipv6Address& src) const {
    platform::RouteInfo6 route;
    platform::InterfaceInfo iface;
    if (!platform::LookupRoute6(target6, route)) return false;
    src = route.prefSrc;
    if (src == platform::Ipv6Address{} && platform::LookupInterface(route.ifIndex, iface)) src = iface.firstIpv6;
    return src != platform::Ipv6Address{};
}

int32_t NetworkSender::SendUdp(int32_t ttl, int32_t seq) {
    if (udpSocket < 0) return -1;
    if (ipv6) platform::SetSocketHopLimit(udpSocket, ttl);
    else platform::SetSocketTtl(udpSocket, ttl);
    std::string payload;
    uint16_t port = ProbePort(basePort, seq);
    if (fixedFlow_) {
        // One destination port; the checksum, which covers the source address the kernel
        // will pick, carries the number.
        port = ProbePort(basePort, 0);
        std::array<uint8_t, kUdpFlowPayloadSize> flow{};
        if (ipv6) {
            platform::Ipv6Address src{};
            if (!SourceAddress6(src)) return -1;
            flow = BuildUdpFlowPayload6(src, target6, udpSourcePort, port, seq);
        } else {
            uint32_t src = 0;
            if (!SourceAddress(src)) return -1;
            flow = BuildUdpFlowPayload(src, target, udpSourcePort, port, seq);
        }
        payload.assign(flow.begin(), flow.end());
    } else {
        payload = UdpProbePayload(seq);
    }
    lastSendTicks = WallClockTicks();
    const int err = ipv6 ? platform::SendDatagram6(udpSocket, payload.data(), payload.size(), target6, port)
                         : platform::SendDatagram(udpSocket, payload.data(), payload.size(), target, port);
    if (err != 0) {
        Trace("UDP Send failed");
        return -1;
    }
    return seq;
}

int32_t NetworkSender::SendIcmpEcho(int32_t ttl, int32_t seq) {
    if (icmpSocket < 0) return -1;
    if (ipv6) platform::SetSocketHopLimit(icmpSocket, ttl);
    else platform::SetSocketTtl(icmpSocket, ttl);
    auto echo = ipv6 ? BuildIcmpv6Echo(icmpIdentifier, seq, fixedFlow_) : BuildIcmpEcho(icmpIdentifier, seq, fixedFlow_);
    lastSendTicks = WallClockTicks();
    int err = ipv6 ? platform::SendDatagram6(icmpSocket, echo.data(), echo.size(), target6, 0)
                   : platform::SendDatagram(icmpSocket, echo.data(), echo.size(), target, 0);
    if (err != 0) {
        Trace("ICMP Send failed: " + std::to_string(err));
        return -1;
    }
    return seq;
}

int32_t NetworkSender::SendTcpSyn(int32_t ttl, int32_t seq) {
    platform::RouteInfo route;
    if (!platform::LookupRoute(target, route)) {
        Trace("GetBestRoute failed for TCP injection");
        return -1;
    }
    platform::InterfaceInfo iface;
    if (!platform::LookupInterface(route.ifIndex, iface)) return -1;

    TcpSynParams p;
    p.srcIpNet = route.prefSrc ? route.prefSrc : iface.firstIpv4;
    if (p.srcIpNet == 0) return -1;
    p.dstIpNet = target;
    p.ipId = platform::ProcessIdLow16();
    p.ttl = ttl;
    p.basePort = basePort;
    p.seq = seq;
    p.tos = DscpTos(dscp_);
    p.fixedFlow = fixedFlow_;

    if (!iface.ethernet) {
        // Loopback, tun or ppp: no link header to build. The frame's IPv4 datagram goes out
        // through a raw IP socket (the kernel drops Ethernet frames injected on loopback).
        auto frame = BuildTcpSynFrame(p);
        return SendIpDatagram(frame.data() + 14, frame.size() - 14, iface, seq);
    }
    // Next hop's hardware address (resolved when missing); failing that, the target's own.
    if (!platform::LookupNeighbour(route.ifIndex, route.gateway ? route.gateway : target, p.dstMac,
                                   kNeighbourResolveMs) &&
        !(route.gateway && platform::LookupNeighbour(route.ifIndex, target, p.dstMac, 0))) {
        return -1;
    }
    p.srcMac = iface.mac;
    auto frame = BuildTcpSynFrame(p);
    return InjectFrame(frame.data(), frame.size(), iface, seq);
}

// As over IPv4, with the neighbour discovery entry of the next hop in place of ARP's.
int32_t NetworkSender::SendTcpSyn6(int32_t hopLimit, int32_t seq) {
    platform::RouteInfo6 route;
    if (!platform::LookupRoute6(target6, route)) {
        Trace("GetBestRoute failed for TCP injection");
        return -1;
    }
    platform::InterfaceInfo iface;
    if (!platform::LookupInterface(route.ifIndex, iface)) return -1;
    TcpSyn6Params p;
    p.srcIp = route.prefSrc != platform::Ipv6Address{} ? route.prefSrc : iface.firstIpv6;
    if (p.srcIp == platform::Ipv6Address{}) return -1;
    p.dstIp = target6;
    p.hopLimit = hopLimit;
    p.basePort = basePort;
    p.seq = seq;
    p.trafficClass = DscpTos(dscp_);
    p.fixedFlow = fixedFlow_;
    if (!iface.ethernet) {
        // Loopback, tun or ppp: the built datagram, hop limit and source included, leaves
        // through a raw IPv6 socket, as the IPv4 one does.
        auto frame = BuildTcpSyn6Frame(p);
        return SendIpDatagram(frame.data() + 14, frame.size() - 14, iface, seq);
    }
    const bool viaGateway = route.gateway != platform::Ipv6Address{};
    if (!platform::LookupNeighbour6(route.ifIndex, viaGateway ? route.gateway : target6, p.dstMac,
                                    kNeighbourResolveMs) &&
        !(viaGateway && platform::LookupNeighbour6(route.ifIndex, target6, p.dstMac, 0))) {
        return -1;
    }
    p.srcMac = iface.mac;
    auto frame = BuildTcpSyn6Frame(p);
    return InjectFrame(frame.data(), frame.size(), iface, seq);
}

int32_t NetworkSender::SendIpDatagram(const uint8_t* datagram, size_t length, const platform::InterfaceInfo& iface,
                                      int32_t seq) {
    int& fd = ipv6 ? rawIp6Socket : rawIpSocket;
    if (fd < 0) fd = ipv6 ? platform::OpenRawIpv6Socket() : platform::OpenRawIpSocket();
    if (fd < 0) {
        Trace(std::string("Error sending raw packet: cannot open raw ") + (ipv6 ? "IPv6" : "IP") +
              " socket for " + iface.name + " (no Ethernet header)");
        return -1;
    }
    lastSendTicks = WallClockTicks();
    const int err = ipv6 ? platform::SendDatagram6(fd, datagram, length, target6, 0)
                         : platform::SendDatagram(fd, datagram, length, target, 0);
    if (err != 0) {
        Trace("Error sending raw packet: errno " + std::to_string(err));
        return -1;
    }
    return seq;
}

int32_t NetworkSender::InjectFrame(const uint8_t* frame, size_t length, const platform::InterfaceInfo& iface,
                                   int32_t seq) {
    // A pcap handle injects when the capture runs on the outgoing interface with Ethernet
    // framing (the sender opens its own there); "any" (cooked headers) or another device
    // cannot carry this frame, so it then leaves through a packet socket bound to the
    // route's interface.
    if (!captureDevice.empty() && captureDevice == iface.name &&
        (injector.IsOpenOn(iface.name) || injector.Open(iface.name)) && injector.LinkType() == kLinkEthernet) {
        lastSendTicks = WallClockTicks();
        return injector.Send(frame, static_cast<int32_t>(length)) ? seq : -1;
    }
    if (!linkSender.IsOpenOn(iface.index) && !linkSender.Open(iface.index)) {
        Trace("Error sending raw packet: cannot open packet socket on " + iface.name);
        return -1;
    }
    lastSendTicks = WallClockTicks();
    int err = linkSender.Send(frame, length);
    if (err != 0) {
        Trace("Error sending raw packet: errno " + std::to_string(err));
        return -1;
    }
    return seq;
}

ProbeIdentity NetworkSender::Identity(int32_t protocol) const {
    ProbeIdentity id;
    id.protocol = protocol;
    id.targetIp = targetIp;
    id.target = IpAddress::Parse(targetIp).value_or(IpAddress{});
    id.udpSourcePort = udpSourcePort;
    id.icmpIdentifier = icmpIdentifier;
    id.basePort = basePort;
    id.fixedFlow = fixedFlow_;
    return id;
}

void NetworkSender::Close() {
    platform::CloseSocket(udpSocket);
    udpSocket = -1;
    platform::CloseSocket(icmpSocket);
    icmpSocket = -1;
    icmpDatagram = false;
    udpSourcePort = 0;
    icmpIdentifier = 0;
    linkSender.Close();
    injector.Close();
    platform::CloseSocket(rawIpSocket);
    rawIpSocket = -1;
    platform::CloseSocket(rawIp6Socket);
    rawIp6Socket = -1;
}
