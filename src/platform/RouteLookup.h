#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "platform/Sockets.h"

// Route, neighbour and interface facts that an injected Ethernet frame needs.
// Addresses are IPv4 in network byte order.
namespace platform {

using MacAddress = std::array<uint8_t, 6>;

struct RouteInfo {
    int ifIndex = 0;         // outgoing interface
    uint32_t gateway = 0;    // next hop; 0 when the destination is on the link
    uint32_t prefSrc = 0;    // the kernel's preferred source for this destination, 0 when none
};

// Asks the kernel which route it would use for dst (rtnetlink RTM_GETROUTE).
bool LookupRoute(uint32_t dstNet, RouteInfo& out);

// Hardware address of ip on interface ifIndex from the neighbour table. When the entry is
// missing or not yet resolved and resolveTimeoutMs > 0, asks the kernel to resolve it (ARP)
// and waits up to that long.
bool LookupNeighbour(int ifIndex, uint32_t ipNet, MacAddress& mac, int resolveTimeoutMs);

// The same for IPv6: next hop and preferred source are all zero when absent; the hardware
// address comes from the neighbour discovery table (resolved by the kernel when missing).
struct RouteInfo6 {
    int ifIndex = 0;
    Ipv6Address gateway{};
    Ipv6Address prefSrc{};
};
bool LookupRoute6(const Ipv6Address& dst, RouteInfo6& out);
bool LookupNeighbour6(int ifIndex, const Ipv6Address& ip, MacAddress& mac, int resolveTimeoutMs);

struct InterfaceInfo {
    int index = 0;
    std::string name;
    MacAddress mac{};
    bool ethernet = false;   // ARPHRD_ETHER: frames carry an Ethernet header
    bool loopback = false;   // ARPHRD_LOOPBACK
    uint32_t firstIpv4 = 0;  // first IPv4 address of the interface, 0 when none
    Ipv6Address firstIpv6{}; // first IPv6 address beyond link-local scope, zero when none
};

bool LookupInterface(int ifIndex, InterfaceInfo& out);

// Sends complete link-layer frames out of one interface, whatever device a capture is
// running on: a packet socket (needs CAP_NET_RAW), or where the system has none, a handle of
// the capture driver opened on that interface.
class LinkSender {
public:
    LinkSender() = default;
    ~LinkSender() { Close(); }
    LinkSender(const LinkSender&) = delete;
    LinkSender& operator=(const LinkSender&) = delete;

    bool Open(int ifIndex);
    bool IsOpenOn(int ifIndex) const { return (fd >= 0 || capture) && ifIndex == boundIndex; }
    // 0 on success, else the errno value.
    int Send(const uint8_t* frame, size_t length);
    void Close();

private:
    int fd = -1;
    void* capture = nullptr;  // capture-driver handle where frames leave through it
    int boundIndex = 0;
};

}  // namespace platform
