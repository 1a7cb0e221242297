#include "platform/RouteLookup.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// One rtnetlink request and its replies, read until NLMSG_DONE (dumps) or the first
// answer (single requests). Netlink messages are aligned kernel structures, read in place.
class Netlink {
public:
    Netlink() {
        fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd >= 0) {
            timeval tv{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
    }
    ~Netlink() {
        if (fd >= 0) close(fd);
    }
    bool Ok() const { return fd >= 0; }

    bool Send(nlmsghdr* msg) {
        sockaddr_nl to{};
        to.nl_family = AF_NETLINK;
        msg->nlmsg_seq = ++seq;
        return sendto(fd, msg, msg->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(msg->nlmsg_len);
    }

    // Calls fn for every message of the answer; false on error or an NLMSG_ERROR != 0.
    template <typename Fn>
    bool Receive(Fn fn, int* errOut = nullptr) {
        std::vector<char> buf(65536);
        for (;;) {
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) return false;
            const size_t len = static_cast<size_t>(n);
            for (size_t off = 0, step = 0; off + sizeof(nlmsghdr) <= len; off += step) {
                auto* h = reinterpret_cast<nlmsghdr*>(buf.data() + off);
                if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > len - off) break;
                step = NLMSG_ALIGN(h->nlmsg_len);
                if (h->nlmsg_seq != seq) continue;
                if (h->nlmsg_type == NLMSG_DONE) return true;
                if (h->nlmsg_type == NLMSG_ERROR) {
                    auto* e = static_cast<nlmsgerr*>(NLMSG_DATA(h));
                    if (errOut) *errOut = -e->error;
                    return e->error == 0;
                }
                if (!fn(h)) return true;  // the handler has what it wanted
                if (!(h->nlmsg_flags & NLM_F_MULTI)) return true;
            }
        }
    }

private:
    int fd = -1;
    uint32_t seq = 0;
};

void AddAttr(nlmsghdr* h, size_t cap, int type, const void* data, size_t len) {
    size_t off = NLMSG_ALIGN(h->nlmsg_len);
    size_t rlen = RTA_LENGTH(len);
    if (off + RTA_ALIGN(rlen) > cap) return;
    auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(h) + off);
    rta->rta_type = static_cast<unsigned short>(type);
    rta->rta_len = static_cast<unsigned short>(rlen);
    std::memcpy(RTA_DATA(rta), data, len);
    h->nlmsg_len = static_cast<uint32_t>(off + RTA_ALIGN(rlen));
}

// `ip` is `length` bytes (4 or 16) of an address of `family` (AF_INET or AF_INET6).
bool FindNeighbour(int family, int ifIndex, const void* ip, size_t length, MacAddress& mac, bool& incomplete) {
    Netlink nl;
    if (!nl.Ok()) return false;
    struct {
        nlmsghdr h;
        ndmsg nd;
    } req{};
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    req.h.nlmsg_type = RTM_GETNEIGH;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.nd.ndm_family = static_cast<unsigned char>(family);
    if (!nl.Send(&req.h)) return false;
    bool found = false;
    incomplete = false;
    nl.Receive([&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWNEIGH || found) return true;
        auto* nd = static_cast<ndmsg*>(NLMSG_DATA(h));
        if (nd->ndm_ifindex != ifIndex) return true;
        int alen = static_cast<int>(RTM_PAYLOAD(h));
        bool haveDst = false, haveLl = false;
        MacAddress ll{};
        for (auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(nd) + NLMSG_ALIGN(sizeof(ndmsg)));
             RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == length) {
                haveDst = std::memcmp(RTA_DATA(a), ip, length) == 0;
            } else if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) == 6) {
                std::memcpy(ll.data(), RTA_DATA(a), 6);
                haveLl = true;
            }
        }
        if (!haveDst) return true;
        constexpr int kUsable = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT | NUD_NOARP;
        if (haveLl && (nd->ndm_state & kUsable)) {
            mac = ll;
            found = true;
        } else {
            incomplete = true;
        }
        return true;
    });
    return found;
}

// Asks the kernel to resolve ip on the interface, as if a packet were waiting for it
// (RTM_NEWNEIGH with NTF_USE; needs CAP_NET_ADMIN). Without that right, a one-byte UDP
// datagram to the discard port makes the kernel resolve the address on its own.
void RequestResolution(int family, int ifIndex, const void* ip, size_t length) {
    Netlink nl;
    bool asked = false;
    if (nl.Ok()) {
        struct {
            nlmsghdr h;
            ndmsg nd;
            char attrs[64];
        } req{};
        req.h.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
        req.h.nlmsg_type = RTM_NEWNEIGH;
        req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE;
        req.nd.ndm_family = static_cast<unsigned char>(family);
        req.nd.ndm_ifindex = ifIndex;
        req.nd.ndm_flags = NTF_USE;
        req.nd.ndm_state = NUD_NONE;
        AddAttr(&req.h, sizeof req, NDA_DST, ip, length);
        int err = 0;
        asked = nl.Send(&req.h) && nl.Receive([](nlmsghdr*) { return true; }, &err);
    }
    if (asked) return;
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return;
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(static_cast<unsigned>(ifIndex), name))
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, static_cast<socklen_t>(std::strlen(name)));
    char b = 0;
    if (family == AF_INET6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(9);
        to.sin6_scope_id = static_cast<uint32_t>(ifIndex);  // a link-local next hop needs its link
        std::memcpy(&to.sin6_addr, ip, 16);
        sendto(fd, &b, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    } else {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        std::memcpy(&to.sin_addr.s_addr, ip, 4);
        sendto(fd, &b, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    close(fd);
}

// The kernel's route to `dst` (`length` bytes of `family`): interface, next hop and
// preferred source, the latter two `length` bytes each and all zero when absent.
bool GetRoute(int family, const void* dst, size_t length, int& ifIndex, void* gateway, void* prefSrc) {
    Netlink nl;
    if (!nl.Ok()) return false;
    struct {
        nlmsghdr h;
        rtmsg rt;
        char attrs[64];
    } req{};
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    req.h.nlmsg_type = RTM_GETROUTE;
    req.h.nlmsg_flags = NLM_F_REQUEST;
    req.rt.rtm_family = static_cast<unsigned char>(family);
    req.rt.rtm_dst_len = static_cast<unsigned char>(length * 8);
    AddAttr(&req.h, sizeof req, RTA_DST, dst, length);
    if (!nl.Send(&req.h)) return false;
    bool ok = false;
    int index = 0;
    nl.Receive([&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWROUTE) return true;
        auto* rt = static_cast<rtmsg*>(NLMSG_DATA(h));
        if (rt->rtm_type != RTN_UNICAST && rt->rtm_type != RTN_LOCAL) return false;
        int alen = static_cast<int>(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(rt); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) std::memcpy(&index, RTA_DATA(a), 4);
            else if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) == length) std::memcpy(gateway, RTA_DATA(a), length);
            else if (a->rta_type == RTA_PREFSRC && RTA_PAYLOAD(a) == length) std::memcpy(prefSrc, RTA_DATA(a), length);
        }
        ok = index > 0;
        return false;
    });
    if (ok) ifIndex = index;
    return ok;
}

bool WaitForNeighbour(int family, int ifIndex, const void* ip, size_t length, MacAddress& mac, int resolveTimeoutMs) {
    bool incomplete = false;
    if (FindNeighbour(family, ifIndex, ip, length, mac, incomplete)) return true;
    if (resolveTimeoutMs <= 0) return false;
    RequestResolution(family, ifIndex, ip, length);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(resolveTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (FindNeighbour(family, ifIndex, ip, length, mac, incomplete)) return true;
    }
    return false;
}

}  // namespace

bool LookupRoute(uint32_t dstNet, RouteInfo& out) {
    RouteInfo r;
    if (!GetRoute(AF_INET, &dstNet, 4, r.ifIndex, &r.gateway, &r.prefSrc)) return false;
    out = r;
    return true;
}

bool LookupNeighbour(int ifIndex, uint32_t ipNet, MacAddress& mac, int resolveTimeoutMs) {
    return WaitForNeighbour(AF_INET, ifIndex, &ipNet, 4, mac, resolveTimeoutMs);
}

bool LookupRoute6(const Ipv6Address& dst, RouteInfo6& out) {
    RouteInfo6 r;
    if (!GetRoute(AF_INET6, dst.data(), 16, r.ifIndex, r.gateway.data(), r.prefSrc.data())) return false;
    out = r;
    return true;
}

bool LookupNeighbour6(int ifIndex, const Ipv6Address& ip, MacAddress& mac, int resolveTimeoutMs) {
    return WaitForNeighbour(AF_INET6, ifIndex, ip.data(), 16, mac, resolveTimeoutMs);
}

bool LookupInterface(int ifIndex, InterfaceInfo& out) {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(ifIndex), name)) return false;
    InterfaceInfo info;
    info.index = ifIndex;
    info.name = name;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name, std::min(std::strlen(name), sizeof ifr.ifr_name - 1));
    bool hw = ioctl(fd, SIOCGIFHWADDR, &ifr) == 0;
    close(fd);
    if (!hw) return false;
    info.ethernet = ifr.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    info.loopback = ifr.ifr_hwaddr.sa_family == ARPHRD_LOOPBACK;
    std::memcpy(info.mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
            if (!ifa->ifa_addr || info.name != ifa->ifa_name) continue;
            if (ifa->ifa_addr->sa_family == AF_INET && info.firstIpv4 == 0) {
                sockaddr_in sin;
                std::memcpy(&sin, ifa->ifa_addr, sizeof sin);
                info.firstIpv4 = sin.sin_addr.s_addr;
            } else if (ifa->ifa_addr->sa_family == AF_INET6 && info.firstIpv6 == Ipv6Address{}) {
                sockaddr_in6 sin6;
                std::memcpy(&sin6, ifa->ifa_addr, sizeof sin6);
                if (IN6_IS_ADDR_LINKLOCAL(&sin6.sin6_addr)) continue;  // only reaches the link
                std::memcpy(info.firstIpv6.data(), &sin6.sin6_addr, 16);
            }
        }
        freeifaddrs(list);
    }
    out = info;
    return true;
}

bool LinkSender::Open(int ifIndex) {
    Close();
    // Protocol 0: this socket only sends, it receives nothing.
    fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = ifIndex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        Close();
        return false;
    }
    boundIndex = ifIndex;
    return true;
}

int LinkSender::Send(const uint8_t* frame, size_t length) {
    if (fd < 0) return EBADF;
    ssize_t n = send(fd, frame, length, 0);
    return n < 0 ? errno : 0;
}

void LinkSender::Close() {
    if (fd >= 0) close(fd);
    fd = -1;
    boundIndex = 0;
}

}  // namespace platform
