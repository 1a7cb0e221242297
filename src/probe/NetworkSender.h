#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "capture/Sniffer.h"
#include "capture/StartError.h"
#include "platform/RouteLookup.h"
#include "platform/Sockets.h"
#include "probe/ProbeMatch.h"
#include "probe/ProbePackets.h"

// Wall clock in 100-ns ticks since 1970-01-01 UTC: the time base of capture time stamps.
int64_t WallClockTicks();

// Sends the traceroute probes of the MTR engine: UDP datagrams with a chosen TTL, ICMP echo
// requests, and TCP SYN segments built as whole Ethernet frames and injected on the route's
// outgoing interface (on interfaces without a link header, sent as bare IP datagrams).
// Replies are not read here; the capture matches them against Identity().
class NetworkSender {
public:
    NetworkSender() = default;
    ~NetworkSender();
    NetworkSender(const NetworkSender&) = delete;
    NetworkSender& operator=(const NetworkSender&) = delete;

    // Resolves host as the address family chosen with SetFamily says and opens the sockets of
    // that family. Sockets of an earlier Init are closed first.
    bool Init(const std::string& host, int32_t basePort);
    // kFamilyIpv4 (default) or kFamilyIpv6, for the next Init.
    void SetFamily(int32_t f) { family = f; }
    // DSCP (0..63) of every probe and one flow for the whole run (ProbePackets.h), for the
    // next Init.
    void SetDscp(int32_t dscp) { dscp_ = dscp & 0x3F; }
    void SetFixedFlow(bool on) { fixedFlow_ = on; }
    // True when the last Init resolved to an IPv6 target.
    bool TargetIsIpv6() const { return ipv6; }
    // seq when the probe left, -1 when it did not.
    int32_t SendProbe(int32_t ttl, int32_t seq, int32_t protocol);
    void Close();

    int32_t SendIcmpEcho(int32_t ttl, int32_t seq);
    int32_t SendTcpSyn(int32_t ttl, int32_t seq);
    int32_t SendTcpSyn6(int32_t hopLimit, int32_t seq);

    const std::string& TargetIp() const { return targetIp; }
    // The target and the ports / echo identifier the probes of this Init leave with.
    ProbeIdentity Identity(int32_t protocol) const;

    // Name resolution used by Init; a test can put a resolver there that asks a name server
    // of its own. Empty: the system resolver.
    using HostResolver = std::function<platform::ResolveStatus(const std::string& host, uint32_t& addrNet,
                                                               std::string& dotted)>;
    void SetResolver(HostResolver r) { resolver = std::move(r); }
    // Clock reading taken just before the last probe was handed to the kernel, after the
    // route and neighbour lookups, so round trips do not include our own preparation.
    int64_t LastSendTicks() const { return lastSendTicks; }
    int32_t BasePort() const { return basePort; }
    // Name of the device the capture was opened on ("" when libpcap chose it, "any", ...).
    // TCP probes leaving through that device are injected through a capture handle of the
    // sender's own there (never the one the capture thread reads).
    void SetCaptureDevice(const std::string& name) { captureDevice = name; }
    bool HasIcmpSocket() const { return icmpSocket >= 0; }
    // True when the ICMP socket is the unprivileged datagram kind, whose identifier the
    // kernel replaces with the socket's own number (read back into Identity()).
    bool IcmpIsDatagram() const { return icmpDatagram; }
    // Tests: open only the unprivileged ICMP datagram socket at the next Init.
    void SetIcmpDatagramOnlyForTesting(bool on) { icmpDatagramOnly = on; }
    // Why the last Init failed (HostNotResolved or SocketFailure), None after success.
    StartError LastError() const { return lastError; }

private:
    bool OpenProbeSockets();
    // The source address the route to the target gives (the fixed-flow UDP checksum covers it).
    bool SourceAddress(uint32_t& srcNet) const;
    bool SourceAddress6(platform::Ipv6Address& src) const;
    int32_t SendUdp(int32_t ttl, int32_t seq);
    // Sends a built Ethernet frame on the interface as the TCP probes leave.
    int32_t InjectFrame(const uint8_t* frame, size_t length, const platform::InterfaceInfo& iface, int32_t seq);
    // Sends a built IP datagram (the frame without its Ethernet header) through a raw socket of
    // the target's family: the way out on interfaces without a link header.
    int32_t SendIpDatagram(const uint8_t* datagram, size_t length, const platform::InterfaceInfo& iface, int32_t seq);

    int udpSocket = -1;
    int icmpSocket = -1;
    uint32_t target = 0;  // IPv4 address of the target, network byte order
    platform::Ipv6Address target6{};  // the target when ipv6
    bool ipv6 = false;
    int32_t family = kFamilyIpv4;
    std::string targetIp;
    int32_t basePort = kProbeBasePort;
    PacketInjector injector;  // opened on the first TCP probe through the capture device

    uint16_t udpSourcePort = 0;   // kernel-chosen, read back after binding
    uint16_t icmpIdentifier = 0;  // ours on a raw socket, the kernel's on a datagram socket
    HostResolver resolver;
    bool icmpDatagram = false;
    bool icmpDatagramOnly = false;
    std::string captureDevice;
    platform::LinkSender linkSender;
    int rawIpSocket = -1;   // TCP probes on interfaces without an Ethernet header
    int rawIp6Socket = -1;  // the same over IPv6
    int64_t lastSendTicks = 0;
    int32_t dscp_ = 0;
    bool fixedFlow_ = false;
    StartError lastError = StartError::None;
};
