#include "flow/HangupRules.h"

#include <cstdint>

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

constexpr const char* kLocalSide = "Softphone/PC";
constexpr const char* kOperatorSide = "PABX/ROTA";

// The first 16-bit group of an IPv6 address text; -1 when it is not 1 to 4 hex digits.
int32_t FirstGroup(std::string_view address) {
    int32_t value = 0;
    size_t i = 0;
    for (; i < address.size() && address[i] != ':'; ++i) {
        const char c = address[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0 || i >= 4) return -1;
        value = value * 16 + digit;
    }
    return i == address.size() ? -1 : value;
}

// IPv6 has no 192.168/10/172 ranges: the customer's own network is what cannot be routed
// beyond it, unique local fd00::/8 and link-local fe80::/10, and this PC itself (::1). An
// IPv4-mapped address follows the IPv4 rule of its caller.
enum class V6Side { NotIpv6, Local, Operator, Mapped };
V6Side Ipv6Side(std::string_view address) {
    if (address.find(':') == std::string_view::npos) return V6Side::NotIpv6;
    if (StartsWith(address, "::ffff:") && address.find('.') != std::string_view::npos) return V6Side::Mapped;
    if (address == "::1") return V6Side::Local;
    const int32_t group = FirstGroup(address);
    if (group < 0) return V6Side::Operator;
    return (group & 0xFF00) == 0xFD00 || (group & 0xFFC0) == 0xFE80 ? V6Side::Local : V6Side::Operator;
}

}  // namespace

std::string HangupOriginForBye(std::string_view address) {
    switch (Ipv6Side(address)) {
        case V6Side::Local: return kLocalSide;
        case V6Side::Operator: return kOperatorSide;
        case V6Side::Mapped: return HangupOriginForBye(address.substr(7));
        case V6Side::NotIpv6: break;
    }
    if (StartsWith(address, "192.168.") || StartsWith(address, "10.") || StartsWith(address, "172.") ||
        address == "127.0.0.1") {
        return kLocalSide;
    }
    return kOperatorSide;
}

std::string HangupOriginForCancelOrError(std::string_view address) {
    switch (Ipv6Side(address)) {
        case V6Side::Local: return kLocalSide;
        case V6Side::Operator: return kOperatorSide;
        case V6Side::Mapped: return HangupOriginForCancelOrError(address.substr(7));
        case V6Side::NotIpv6: break;
    }
    if (StartsWith(address, "192.168.") || StartsWith(address, "10.") || address == "127.0.0.1") {
        return kLocalSide;
    }
    return kOperatorSide;
}
