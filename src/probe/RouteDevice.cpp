#include "probe/RouteDevice.h"

#include "platform/RouteLookup.h"
#include "platform/Sockets.h"

std::string RouteDeviceFor(const std::string& host) {
    uint32_t addr = 0;
    std::string dotted;
    if (platform::ResolveIpv4(host, addr, dotted) != platform::ResolveStatus::Ok) return {};
    platform::RouteInfo route;
    if (!platform::LookupRoute(addr, route)) return {};
    platform::InterfaceInfo info;
    if (!platform::LookupInterface(route.ifIndex, info)) return {};
    return info.name;
}
