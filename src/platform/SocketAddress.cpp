// Name resolution and address text, the same on every system once its socket library is up:
// getaddrinfo and inet_ntop/inet_pton behave alike here, so this file serves Linux and Windows.
#include "platform/IpAddressText.h"
#include "platform/Sockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cctype>
#include <cstring>

namespace platform {

namespace {

bool EndsWithInvalidTld(std::string host) {
    while (!host.empty() && host.back() == '.') host.pop_back();
    for (auto& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string tld = "invalid";
    if (host == tld) return true;
    return host.size() > tld.size() && host.compare(host.size() - tld.size(), tld.size(), tld) == 0 &&
           host[host.size() - tld.size() - 1] == '.';
}

// Exactly four decimal groups of 1-3 digits: some systems' inet_pton also takes leading
// zeros and short forms, which are not the dotted quad.
bool IsDottedQuadShape(const std::string& text) {
    int groups = 0, digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0) return false;
            ++groups;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            if (++digits > 3) return false;
        } else {
            return false;
        }
    }
    return groups == 3 && digits != 0;
}

}  // namespace

ResolveStatus ResolveIpv4(const std::string& host, uint32_t& addrNet, std::string& dotted) {
    if (!SocketsReady() || host.empty() || EndsWithInvalidTld(host)) return ResolveStatus::NotFound;
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

ResolveStatus ResolveIpv6(const std::string& host, Ipv6Address& addr) {
    if (!SocketsReady() || host.empty() || EndsWithInvalidTld(host)) return ResolveStatus::NotFound;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return ResolveStatus::NotFound;
    bool found = false;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 sin6;
            std::memcpy(&sin6, ai->ai_addr, sizeof sin6);
            std::memcpy(addr.data(), &sin6.sin6_addr, 16);
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

bool IsIpAddressText(const std::string& text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    if (text.find('\0') != std::string::npos) return false;
    unsigned char buf[16];
    if (text.find(':') != std::string::npos) return inet_pton(AF_INET6, text.c_str(), buf) == 1;
    return IsDottedQuadShape(text) && inet_pton(AF_INET, text.c_str(), buf) == 1;
}

}  // namespace platform
