#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Probe sockets: IPv4 name resolution, a UDP socket with a per-socket TTL, an ICMP socket
// (raw when CAP_NET_RAW is held, else the kernel's unprivileged ICMP datagram socket).
// Addresses are IPv4 in network byte order; ports in host order. IPv6 has its own calls
// beside the IPv4 ones, so that every IPv4 path stays exactly as it was.
namespace platform {

// Sixteen bytes in network order.
using Ipv6Address = std::array<uint8_t, 16>;

// Starts the system's socket library once (Winsock); true when sockets can be used.
bool SocketsReady();

enum class ResolveStatus { Ok, NotFound };

// Resolves host (dotted quad or name) to its first IPv4 address. Names in the reserved
// ".invalid" top-level domain fail at once without asking a name server (RFC 6761 6.4).
ResolveStatus ResolveIpv4(const std::string& host, uint32_t& addrNet, std::string& dotted);

std::string Ipv4ToText(uint32_t addrNet);

// Resolves host (IPv6 literal or name) to its first IPv6 address; the same ".invalid" rule.
ResolveStatus ResolveIpv6(const std::string& host, Ipv6Address& addr);

// IPv6 counterparts of the calls below: a UDP socket, an ICMPv6 socket (raw, else the
// unprivileged datagram kind), the ephemeral port of a socket bound to [::], the hop limit
// of outgoing unicast datagrams, and one datagram to [addr]:port.
int OpenUdpSocket6();
int OpenIcmpv6Socket(bool& datagram, bool allowRaw = true);
uint16_t BindEphemeralPort6(int fd);
bool SetSocketHopLimit(int fd, int hops);
int SendDatagram6(int fd, const void* data, size_t length, const Ipv6Address& addr, uint16_t port);

// -1 on failure (errno set).
int OpenUdpSocket();

// Raw ICMP first; when that is refused, an ICMP datagram socket (allowed by
// net.ipv4.ping_group_range). `datagram` tells which one was opened. -1 when neither works.
// allowRaw false skips the raw socket (tests of the datagram path).
int OpenIcmpSocket(bool& datagram, bool allowRaw = true);

// Raw IPv4 socket that sends whole datagrams, header included (IPPROTO_RAW implies
// IP_HDRINCL). For interfaces without an Ethernet header: loopback, tun, ppp. -1 on failure.
int OpenRawIpSocket();

// The same for IPv6: a raw socket that takes the whole IPv6 datagram, our header and hop
// limit as built, so the TCP checksum computed over our pseudo-header stays right. -1 on
// failure; always -1 on Windows, which sends no TCP through raw sockets.
int OpenRawIpv6Socket();

// Binds the socket to any local address and a port the kernel picks, and returns that port in
// host order: the UDP source port of the probes, or the echo identifier the kernel writes into
// every request sent on an ICMP datagram socket. 0 on failure.
uint16_t BindEphemeralPort(int fd);

// Outgoing IPv4 TTL of the socket (IP_TTL).
bool SetSocketTtl(int fd, int ttl);

// The TOS byte of the socket's IPv4 datagrams (IP_TOS) and the traffic class of its IPv6
// ones (IPV6_TCLASS): how probes carry a DSCP. Windows accepts IP_TOS but marks datagrams
// only as a QoS policy says (see SocketsWindows.cpp).
bool SetSocketTos(int fd, int tos);
bool SetSocketTrafficClass6(int fd, int trafficClass);

// Sends one datagram to addrNet:port. 0 on success, else the errno value.
int SendDatagram(int fd, const void* data, size_t length, uint32_t addrNet, uint16_t port);

void CloseSocket(int fd);

// Low 16 bits of the process id: the ICMP identifier and IPv4 identification of our probes.
uint16_t ProcessIdLow16();

}  // namespace platform
