#include "platform/RouteLookup.h"
#include "platform/AdapterListWindows.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <pcap/pcap.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace platform {

namespace {

bool InNeighbourTable(int ifIndex, uint32_t ipNet, MacAddress& mac) {
    ULONG size = 0;
    if (GetIpNetTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
    std::vector<unsigned char> buf(size);
    auto* table = reinterpret_cast<MIB_IPNETTABLE*>(buf.data());
    if (GetIpNetTable(table, &size, FALSE) != NO_ERROR) return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPNETROW& row = table->table[i];
        if (static_cast<int>(row.dwIndex) != ifIndex || row.dwAddr != ipNet || row.dwPhysAddrLen != 6) continue;
        if (row.dwType == MIB_IPNET_TYPE_INVALID) continue;
        std::memcpy(mac.data(), row.bPhysAddr, 6);
        return true;
    }
    return false;
}

}  // namespace

bool LookupRoute(uint32_t dstNet, RouteInfo& out) {
    MIB_IPFORWARDROW row{};
    if (GetBestRoute(dstNet, 0, &row) != NO_ERROR) return false;
    out.ifIndex = static_cast<int>(row.dwForwardIfIndex);
    // An on-link destination has no gateway: the route names no next hop, or the target itself.
    const uint32_t next = row.dwForwardNextHop;
    out.gateway = (next == 0 || next == dstNet || row.dwForwardType == MIB_IPROUTE_TYPE_DIRECT) ? 0 : next;
    out.prefSrc = 0;  // the interface's first address serves as source
    return true;
}

bool LookupNeighbour(int ifIndex, uint32_t ipNet, MacAddress& mac, int resolveTimeoutMs) {
    if (InNeighbourTable(ifIndex, ipNet, mac)) return true;
    if (resolveTimeoutMs <= 0) return false;
    // SendARP resolves through the system (it waits up to the system's own ARP time-out).
    ULONG buf[2] = {};
    ULONG len = 6;
    if (SendARP(ipNet, 0, buf, &len) != NO_ERROR || len != 6) return false;
    std::memcpy(mac.data(), buf, 6);
    return true;
}

bool LookupInterface(int ifIndex, InterfaceInfo& out) {
    const std::vector<unsigned char> buf = AdapterAddresses(AF_INET);
    if (buf.empty()) return false;
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
        if (static_cast<int>(a->IfIndex) != ifIndex) continue;
        out.index = ifIndex;
        // The capture driver names its devices after the adapter's GUID.
        out.name = std::string("\\Device\\NPF_") + a->AdapterName;
        out.mac = {};
        if (a->PhysicalAddressLength == 6) std::memcpy(out.mac.data(), a->PhysicalAddress, 6);
        out.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        // Wireless adapters take and give Ethernet frames at the driver's interface.
        out.ethernet = a->IfType == IF_TYPE_ETHERNET_CSMACD || a->IfType == IF_TYPE_IEEE80211;
        out.firstIpv4 = 0;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            if (u->Address.lpSockaddr && u->Address.lpSockaddr->sa_family == AF_INET) {
                out.firstIpv4 = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr;
                break;
            }
        }
        return true;
    }
    return false;
}

bool LookupRoute6(const Ipv6Address& dst, RouteInfo6& out) {
    SOCKADDR_INET to{};
    to.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&to.Ipv6.sin6_addr, dst.data(), 16);
    MIB_IPFORWARD_ROW2 row{};
    SOCKADDR_INET source{};
    if (GetBestRoute2(nullptr, 0, nullptr, &to, 0, &row, &source) != NO_ERROR) return false;
    RouteInfo6 r;
    r.ifIndex = static_cast<int>(row.InterfaceIndex);
    if (row.NextHop.si_family == AF_INET6) {
        std::memcpy(r.gateway.data(), &row.NextHop.Ipv6.sin6_addr, 16);
        if (r.gateway == dst) r.gateway = {};
    }
    if (source.si_family == AF_INET6) std::memcpy(r.prefSrc.data(), &source.Ipv6.sin6_addr, 16);
    out = r;
    return true;
}

// The neighbour cache entry; when missing, ResolveIpNetEntry2 runs neighbour discovery
// (it waits up to the system's own time-out).
bool LookupNeighbour6(int ifIndex, const Ipv6Address& ip, MacAddress& mac, int resolveTimeoutMs) {
    MIB_IPNET_ROW2 row{};
    row.InterfaceIndex = static_cast<NET_IFINDEX>(ifIndex);
    row.Address.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&row.Address.Ipv6.sin6_addr, ip.data(), 16);
    bool ok = GetIpNetEntry2(&row) == NO_ERROR && row.State >= NlnsReachable && row.PhysicalAddressLength == 6;
    if (!ok && resolveTimeoutMs > 0)
        ok = ResolveIpNetEntry2(&row, nullptr) == NO_ERROR && row.PhysicalAddressLength == 6;
    if (!ok) return false;
    std::memcpy(mac.data(), row.PhysicalAddress, 6);
    return true;
}

// Windows has no packet socket: frames leave through a capture-driver handle on the
// interface, with pcap_sendpacket.
bool LinkSender::Open(int ifIndex) {
    Close();
    InterfaceInfo info;
    if (!LookupInterface(ifIndex, info)) return false;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_live(info.name.c_str(), 128, 0, 1000, errbuf);
    if (!handle) return false;
    capture = handle;
    boundIndex = ifIndex;
    return true;
}

int LinkSender::Send(const uint8_t* frame, size_t length) {
    if (!capture) return WSAENOTSOCK;
    return pcap_sendpacket(static_cast<pcap_t*>(capture), frame, static_cast<int>(length)) == 0 ? 0 : static_cast<int>(ERROR_GEN_FAILURE);
}

void LinkSender::Close() {
    if (capture) pcap_close(static_cast<pcap_t*>(capture));
    capture = nullptr;
    boundIndex = 0;
}

}  // namespace platform
