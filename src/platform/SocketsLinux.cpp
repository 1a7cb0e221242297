#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

// The system's sockets need no start-up here.
bool SocketsReady() { return true; }

int OpenUdpSocket() { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP); }

int OpenIcmpSocket(bool& datagram, bool allowRaw) {
    int fd = allowRaw ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP) : -1;
    if (fd >= 0) {
        datagram = false;
        // We only send on this socket; replies are read from the capture. Block every ICMP
        // type so the kernel does not queue a copy of each ICMP packet to a socket nobody reads.
        icmp_filter filt{};
        filt.data = ~0u;
        setsockopt(fd, SOL_RAW, ICMP_FILTER, &filt, sizeof filt);
        return fd;
    }
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        datagram = true;
        // Echo replies are queued to a ping socket; keep that queue at the kernel minimum.
        int small = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    return fd;
}

uint16_t BindEphemeralPort(int fd) {
    if (fd < 0) return 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return 0;
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

int OpenRawIpSocket() {
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd >= 0) shutdown(fd, SHUT_RD);  // send only
    return fd;
}

// Linux takes the IPv6 header from the caller on an IPPROTO_RAW socket of this family, as
// for IPv4; the destination given to sendto only chooses the route.
int OpenRawIpv6Socket() {
    int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd >= 0) shutdown(fd, SHUT_RD);  // send only
    return fd;
}

bool SetSocketTtl(int fd, int ttl) {
    int v = ttl;
    return setsockopt(fd, IPPROTO_IP, IP_TTL, &v, sizeof v) == 0;
}

bool SetSocketTos(int fd, int tos) {
    int v = tos;
    return setsockopt(fd, IPPROTO_IP, IP_TOS, &v, sizeof v) == 0;
}

bool SetSocketTrafficClass6(int fd, int trafficClass) {
    int v = trafficClass;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &v, sizeof v) == 0;
}

int SendDatagram(int fd, const void* data, size_t length, uint32_t addrNet, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addrNet;
    ssize_t n = sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n < 0 ? errno : 0;
}

int OpenUdpSocket6() { return socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP); }

int OpenIcmpv6Socket(bool& datagram, bool allowRaw) {
    int fd = allowRaw ? socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6) : -1;
    if (fd >= 0) {
        // Send only, as for ICMP; the kernel fills in the ICMPv6 checksum (RFC 3542 3.1).
        icmp6_filter filt;
        ICMP6_FILTER_SETBLOCKALL(&filt);
        setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filt, sizeof filt);
        datagram = false;
        return fd;
    }
    fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd >= 0) {
        datagram = true;
        int small = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    return fd;
}

uint16_t BindEphemeralPort6(int fd) {
    if (fd < 0) return 0;
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_any;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return 0;
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin6_port);
}

bool SetSocketHopLimit(int fd, int hops) {
    int v = hops;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &v, sizeof v) == 0;
}

int SendDatagram6(int fd, const void* data, size_t length, const Ipv6Address& addr, uint16_t port) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    std::memcpy(&to.sin6_addr, addr.data(), 16);
    ssize_t n = sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n < 0 ? errno : 0;
}

void CloseSocket(int fd) {
    if (fd >= 0) close(fd);
}

uint16_t ProcessIdLow16() { return static_cast<uint16_t>(getpid() & 0xFFFF); }

}  // namespace platform
