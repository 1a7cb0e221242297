#include "platform/IpAddressText.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace platform {

bool IsIpAddressText(const std::string& text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    if (text.find('\0') != std::string::npos) return false;
    unsigned char buf[16];
    if (text.find(':') != std::string::npos) return inet_pton(AF_INET6, text.c_str(), buf) == 1;
    // inet_pton of Windows takes leading zeros and short forms that the dotted quad excludes
    // on other systems; accept exactly four decimal groups of 1-3 digits.
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
    if (groups != 3 || digits == 0) return false;
    return inet_pton(AF_INET, text.c_str(), buf) == 1;
}

}  // namespace platform
