#include "probe/RouteDevice.h"

#include "platform/RouteLookup.h"
#include "platform/Sockets.h"

namespace {
std::string InterfaceName(int ifIndex) {
    platform::InterfaceInfo info;
    if (!platform::LookupInterface(ifIndex, info)) return {};
    return info.name;
}
}  // namespace

std::string RouteDeviceFor(const std::string& host, bool ipv6Only) {
    uint32_t addr = 0;
    std::string dotted;
    if (!ipv6Only && platform::ResolveIpv4(host, addr, dotted) == platform::ResolveStatus::Ok) {
        platform::RouteInfo route;
        return platform::LookupRoute(addr, route) ? InterfaceName(route.ifIndex) : std::string();
    }
    platform::Ipv6Address addr6{};
    if (platform::ResolveIpv6(host, addr6) != platform::ResolveStatus::Ok) return {};
    platform::RouteInfo6 route6;
    return platform::LookupRoute6(addr6, route6) ? InterfaceName(route6.ifIndex) : std::string();
}
