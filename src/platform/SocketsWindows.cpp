#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cctype>
#include <cstring>
#include <cstdio>
#include <mutex>

// Socket handles are kernel handle values, far below 2^31 in practice; the interface keeps
// them as int like the descriptors of other systems, with -1 for "none".
namespace platform {

namespace {

// Winsock must be started before any other call; once per process, and never stopped
// while sockets may still be in use (the process end releases it).
bool WinsockReady() {
    static bool ready = false;
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!ready) std::fputs("WSAStartup failed.\n", stderr);
    });
    return ready;
}

int FromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }
SOCKET ToSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }

bool EndsWithInvalidTld(std::string host) {
    while (!host.empty() && host.back() == '.') host.pop_back();
    for (auto& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string tld = "invalid";
    if (host == tld) return true;
    return host.size() > tld.size() && host.compare(host.size() - tld.size(), tld.size(), tld) == 0 &&
           host[host.size() - tld.size() - 1] == '.';
}

}  // namespace

ResolveStatus ResolveIpv4(const std::string& host, uint32_t& addrNet, std::string& dotted) {
    if (!WinsockReady() || host.empty() || EndsWithInvalidTld(host)) return ResolveStatus::NotFound;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return ResolveStatus::NotFound;
    bool found = false;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            addrNet = sin.sin_addr.s_addr;
            dotted = Ipv4ToText(addrNet);
            found = true;
            break;
        }
    }
    freeaddrinfo(res);
    return found ? ResolveStatus::Ok : ResolveStatus::NotFound;
}

std::string Ipv4ToText(uint32_t addrNet) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

int OpenUdpSocket() {
    if (!WinsockReady()) return -1;
    return FromSocket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
}

// Windows has no unprivileged ICMP socket: a raw socket, which needs administrator rights.
int OpenIcmpSocket(bool& datagram, bool allowRaw) {
    datagram = false;
    if (!allowRaw || !WinsockReady()) return -1;
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
    if (!WinsockReady()) return -1;
    const int fd = FromSocket(socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
    if (fd >= 0) {
        DWORD on = 1;
        setsockopt(ToSocket(fd), IPPROTO_IP, IP_HDRINCL, reinterpret_cast<const char*>(&on), sizeof on);
    }
    return fd;
}

bool SetSocketTtl(int fd, int ttl) {
    DWORD v = static_cast<DWORD>(ttl);
    return setsockopt(ToSocket(fd), IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&v), sizeof v) == 0;
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

void CloseSocket(int fd) {
    if (fd >= 0) closesocket(ToSocket(fd));
}

uint16_t ProcessIdLow16() { return static_cast<uint16_t>(GetCurrentProcessId() & 0xFFFF); }

}  // namespace platform
