// Reverse name lookup, the same on every system: getnameinfo behaves alike on Linux and on
// Windows (where Winsock is started by the sockets service before any probe; a lookup before
// that simply fails and the address is shown).
#include "platform/ReverseLookup.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace platform {

std::optional<std::string> ReverseLookup(const std::string& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;  // "???" and other non-addresses have no name
    }
    char host[NI_MAXHOST];
    // NI_NAMEREQD: an address without a name is a failure, not its own text back.
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return std::nullopt;
    host[sizeof host - 1] = '\0';
    if (host[0] == '\0') return std::nullopt;
    return std::string(host);
}

}  // namespace platform
