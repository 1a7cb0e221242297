#include "platform/Capabilities.h"

#include <cstdint>
#include <fstream>
#include <string>

namespace platform {

CaptureRights CurrentCaptureRights() {
    CaptureRights r;
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        uint64_t eff = std::stoull(line.substr(7), nullptr, 16);
        r.netAdmin = (eff >> 12) & 1;  // CAP_NET_ADMIN
        r.netRaw = (eff >> 13) & 1;    // CAP_NET_RAW
        break;
    }
    return r;
}

std::string MissingCaptureRights(const CaptureRights& rights) {
    std::string out;
    if (!rights.netRaw) out = "CAP_NET_RAW";
    if (!rights.netAdmin) out += out.empty() ? "CAP_NET_ADMIN" : " e CAP_NET_ADMIN";
    return out;
}

}  // namespace platform
