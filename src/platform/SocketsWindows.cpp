#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <cstdio>
#include <mutex>

// Socket handles are kernel handle values, far below 2^31 in practice; the interface keeps
// them as int like the descriptors of other systems, with -1 for "none".
namespace platform {

// Winsock must be started before any other call; once per process, and never stopped
// while sockets may still be in use (the process end releases it).
bool SocketsReady() {
    static bool ready = false;
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!ready) std::fputs("WSAStartup failed.\n", stderr);
    });
    return ready;
}

namespace {

int FromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }
SOCKET ToSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }

}  // namespace

int OpenUdpSocket() {
    if (!SocketsReady()) return -1;
    return FromSocket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
}

// Windows has no unprivileged ICMP socket: a raw socket, which needs administrator rights.
int OpenIcmpSocket(bool& datagram, bool allowRaw) {
    datagram = false;
    if (!allowRaw || !SocketsReady()) return -1;
    return FromSocket(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
}

uint16_t BindEphemeralPort(int fd) {
    if (fd < 0) return 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(ToSocket(fd), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return 0;
    int length = sizeof local;
    if (getsockname(ToSocket(fd), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

// Windows refuses TCP through raw sockets; such a send fails and the probe is counted lost.
int OpenRawIpSocket() {
    if (!SocketsReady()) return -1;
    const int fd = FromSocket(socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
    if (fd >= 0) {
        DWORD on = 1;
        setsockopt(ToSocket(fd), IPPROTO_IP, IP_HDRINCL, reinterpret_cast<const char*>(&on), sizeof on);
    }
    return fd;
}

// Windows neither lets a raw socket carry TCP nor guarantees IPV6_HDRINCL: no socket, and
// the caller traces why its probe did not leave.
int OpenRawIpv6Socket() {
    if (SocketsReady()) WSASetLastError(WSAEOPNOTSUPP);
    return -1;
}

bool SetSocketTtl(int fd, int ttl) {
    DWORD v = static_cast<DWORD>(ttl);
    return setsockopt(ToSocket(fd), IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

// Windows takes IP_TOS without an error but, unless a QoS policy (Group Policy "Policy-based
// QoS", a DSCP value for this program) applies to the socket, sends the datagrams with TOS 0
// all the same; where such a policy applies, its DSCP is used, not this one. So UDP and ICMP
// probes leave marked only under a policy, while TCP probes, whole frames built here and
// injected through the capture driver, carry the chosen DSCP in any case. The run's "DSCP seen"
// column then shows 0 from the first hop on, which is what the network received.
bool SetSocketTos(int fd, int tos) {
    DWORD v = static_cast<DWORD>(tos);
    return setsockopt(ToSocket(fd), IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

bool SetSocketTrafficClass6(int fd, int trafficClass) {
#ifdef IPV6_TCLASS
    DWORD v = static_cast<DWORD>(trafficClass);
    return setsockopt(ToSocket(fd), IPPROTO_IPV6, IPV6_TCLASS, reinterpret_cast<const char*>(&v), sizeof v) == 0;
#else
    (void)fd;
    (void)trafficClass;
    return false;
#endif
}

int SendDatagram(int fd, const void* data, size_t length, uint32_t addrNet, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addrNet;
    const int n = sendto(ToSocket(fd), static_cast<const char*>(data), static_cast<int>(length), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == SOCKET_ERROR ? WSAGetLastError() : 0;
}

int OpenUdpSocket6() {
    if (!SocketsReady()) return -1;
    return FromSocket(socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP));
}

// As for ICMP: a raw socket, administrator rights. The stack computes the ICMPv6 checksum.
int OpenIcmpv6Socket(bool& datagram, bool allowRaw) {
    datagram = false;
    if (!allowRaw || !SocketsReady()) return -1;
    return FromSocket(socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6));
}

uint16_t BindEphemeralPort6(int fd) {
    if (fd < 0) return 0;
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_any;
    if (bind(ToSocket(fd), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return 0;
    int length = sizeof local;
    if (getsockname(ToSocket(fd), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin6_port);
}

bool SetSocketHopLimit(int fd, int hops) {
    DWORD v = static_cast<DWORD>(hops);
    return setsockopt(ToSocket(fd), IPPROTO_IPV6, IPV6_UNICAST_HOPS, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

int SendDatagram6(int fd, const void* data, size_t length, const Ipv6Address& addr, uint16_t port) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    std::memcpy(&to.sin6_addr, addr.data(), 16);
    const int n = sendto(ToSocket(fd), static_cast<const char*>(data), static_cast<int>(length), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == SOCKET_ERROR ? WSAGetLastError() : 0;
}

void CloseSocket(int fd) {
    if (fd >= 0) closesocket(ToSocket(fd));
}

uint16_t ProcessIdLow16() { return static_cast<uint16_t>(GetCurrentProcessId() & 0xFFFF); }

}  // namespace platform
