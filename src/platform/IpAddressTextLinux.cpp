#include "platform/IpAddressText.h"

#include <arpa/inet.h>

namespace platform {

bool IsIpAddressText(const std::string& text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    if (text.find('\0') != std::string::npos) return false;
    unsigned char buf[16];
    if (text.find(':') != std::string::npos) return inet_pton(AF_INET6, text.c_str(), buf) == 1;
    return inet_pton(AF_INET, text.c_str(), buf) == 1;
}

}  // namespace platform
