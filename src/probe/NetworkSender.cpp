#include "probe/NetworkSender.h"

#include <chrono>

#include "capture/Sniffer.h"
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
    udpSocket = platform::OpenUdpSocket();
    if (udpSocket < 0) {
        Trace("UDP Socket creation failed");
        lastError = StartError::SocketFailure;
        return false;
    }
    // Replies quote the probe's source port; it is fixed now so that they can be told apart
    // from those of any other program's traceroute.
    udpSourcePort = platform::BindEphemeralPort(udpSocket);
    if (udpSourcePort == 0) {
        Trace("UDP Socket creation failed");
        lastError = StartError::SocketFailure;
        return false;
    }
    icmpSocket = platform::OpenIcmpSocket(icmpDatagram, !icmpDatagramOnly);
    if (icmpSocket >= 0) {
        // A datagram socket's requests carry the kernel's identifier, not ours: bind to get
        // one now and read it back.
        icmpIdentifier = icmpDatagram ? platform::BindEphemeralPort(icmpSocket) : platform::ProcessIdLow16();
        if (icmpDatagram && icmpIdentifier == 0) {
            platform::CloseSocket(icmpSocket);
            icmpSocket = -1;
        }
    }
    if (icmpSocket < 0) Trace("ICMP Socket creation failed (Run as Admin!)");
    std::string dotted;
    const auto status = resolver ? resolver(host, target, dotted) : platform::ResolveIpv4(host, target, dotted);
    if (status != platform::ResolveStatus::Ok) {
        Trace("Cannot resolve host: " + host);
        lastError = StartError::HostNotResolved;
        return false;
    }
    targetIp = dotted;
    Trace("Resolved " + host + " to " + targetIp);
    return true;
}

int32_t NetworkSender::SendProbe(int32_t ttl, int32_t seq, int32_t protocol) {
    Trace("Send Request: TTL=" + std::to_string(ttl) + " SEQ=" + std::to_string(seq) +
          " Proto=" + std::to_string(protocol));
    switch (protocol) {
        case kProbeUdp: {
            if (udpSocket < 0) return -1;
            platform::SetSocketTtl(udpSocket, ttl);
            std::string payload = UdpProbePayload(seq);
            lastSendTicks = WallClockTicks();
            if (platform::SendDatagram(udpSocket, payload.data(), payload.size(), target,
                                       ProbePort(basePort, seq)) != 0) {
                Trace("UDP Send failed");
                return -1;
            }
            return seq;
        }
        case kProbeIcmp: return SendIcmpEcho(ttl, seq);
        case kProbeTcp: return SendTcpSyn(ttl, seq);
        default: return -1;
    }
}

int32_t NetworkSender::SendIcmpEcho(int32_t ttl, int32_t seq) {
    if (icmpSocket < 0) return -1;
    platform::SetSocketTtl(icmpSocket, ttl);
    auto echo = BuildIcmpEcho(icmpIdentifier, seq);
    lastSendTicks = WallClockTicks();
    int err = platform::SendDatagram(icmpSocket, echo.data(), echo.size(), target, 0);
    if (err != 0) {
        Trace("ICMP Send failed: " + std::to_string(err));
        return -1;
    }
    return seq;
}

int32_t NetworkSender::SendTcpSyn(int32_t ttl, int32_t seq) {
    if (!sniffer) {
        Trace("Error: Sniffer reference not set in NetworkSender. Cannot inject TCP.");
        return -1;
    }
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

    if (!iface.ethernet) {
        // Loopback, tun or ppp: no link header to build. The frame's IPv4 datagram goes out
        // through a raw IP socket (the kernel drops Ethernet frames injected on loopback).
        auto frame = BuildTcpSynFrame(p);
        if (rawIpSocket < 0) rawIpSocket = platform::OpenRawIpSocket();
        if (rawIpSocket < 0) {
            Trace("Error sending raw packet: cannot open raw IP socket");
            return -1;
        }
        lastSendTicks = WallClockTicks();
        int err = platform::SendDatagram(rawIpSocket, frame.data() + 14, frame.size() - 14, target, 0);
        if (err != 0) {
            Trace("Error sending raw packet: errno " + std::to_string(err));
            return -1;
        }
        return seq;
    }
    // Next hop's hardware address (resolved when missing); failing that, the target's own.
    if (!platform::LookupNeighbour(route.ifIndex, route.gateway ? route.gateway : target, p.dstMac,
                                   kNeighbourResolveMs) &&
        !(route.gateway && platform::LookupNeighbour(route.ifIndex, target, p.dstMac, 0))) {
        return -1;
    }
    p.srcMac = iface.mac;
    auto frame = BuildTcpSynFrame(p);

    // The capture handle can inject only when it is open on the outgoing interface with
    // Ethernet framing; "any" (cooked headers) or another device cannot carry this frame,
    // so it then leaves through a packet socket bound to the route's interface.
    if (!captureDevice.empty() && captureDevice == iface.name && sniffer->LinkType() == kLinkEthernet) {
        lastSendTicks = WallClockTicks();
        return sniffer->SendRawPacket(frame.data(), static_cast<int32_t>(frame.size())) ? seq : -1;
    }
    if (!linkSender.IsOpenOn(route.ifIndex) && !linkSender.Open(route.ifIndex)) {
        Trace("Error sending raw packet: cannot open packet socket on " + iface.name);
        return -1;
    }
    lastSendTicks = WallClockTicks();
    int err = linkSender.Send(frame.data(), frame.size());
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
    id.udpSourcePort = udpSourcePort;
    id.icmpIdentifier = icmpIdentifier;
    id.basePort = basePort;
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
    platform::CloseSocket(rawIpSocket);
    rawIpSocket = -1;
}
