#include "flow/HangupRules.h"

#include <cstdint>

namespace {

constexpr const char* kLocalSide = "Softphone/PC";
constexpr const char* kOperatorSide = "PABX/ROTA";

bool LocalIpv4(const uint8_t* b, bool whole172) {
    if (b[0] == 192 && b[1] == 168) return true;
    if (b[0] == 10) return true;
    if (whole172 && b[0] == 172) return true;
    return b[0] == 127 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

// IPv6 has no 192.168/10/172 ranges: the customer's own network is what cannot be routed
// beyond it, unique local fd00::/8 and link-local fe80::/10, and this PC itself (::1).
// fc00::/8 is unique local too, but has no assignment authority and is not in use.
bool LocalSide(const IpAddress& a, bool whole172) {
    const uint8_t* b = a.bytes.data();
    if (a.family == IpAddress::V4) return LocalIpv4(b, whole172);
    if (a.family != IpAddress::V6) return false;
    bool mapped = b[10] == 0xFF && b[11] == 0xFF;
    for (int i = 0; i < 10; ++i) mapped = mapped && b[i] == 0;
    if (mapped) return LocalIpv4(b + 12, whole172);
    if (a.IsLoopback()) return true;
    return b[0] == 0xFD || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80);
}

}  // namespace

std::string HangupOriginForBye(const IpAddress& address) {
    return LocalSide(address, true) ? kLocalSide : kOperatorSide;
}

std::string HangupOriginForCancelOrError(const IpAddress& address) {
    return LocalSide(address, false) ? kLocalSide : kOperatorSide;
}

std::string HangupOriginForBye(std::string_view address) {
    const std::optional<IpAddress> a = IpAddress::Parse(address);
    return a ? HangupOriginForBye(*a) : kOperatorSide;
}

std::string HangupOriginForCancelOrError(std::string_view address) {
    const std::optional<IpAddress> a = IpAddress::Parse(address);
    return a ? HangupOriginForCancelOrError(*a) : kOperatorSide;
}
