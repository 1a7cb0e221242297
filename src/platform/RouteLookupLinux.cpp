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

bool FindNeighbour(int ifIndex, uint32_t ipNet, MacAddress& mac, bool& incomplete) {
    Netlink nl;
    if (!nl.Ok()) return false;
    struct {
        nlmsghdr h;
        ndmsg nd;
    } req{};
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    req.h.nlmsg_type = RTM_GETNEIGH;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.nd.ndm_family = AF_INET;
    if (!nl.Send(&req.h)) return false;
    bool found = false;
    incomplete = false;
    nl.Receive([&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWNEIGH || found) return true;
        auto* nd = static_cast<ndmsg*>(NLMSG_DATA(h));
        if (nd->ndm_ifindex != ifIndex) return true;
        int alen = static_cast<int>(RTM_PAYLOAD(h));
        uint32_t dst = 0;
        bool haveDst = false, haveLl = false;
        MacAddress ll{};
        for (auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(nd) + NLMSG_ALIGN(sizeof(ndmsg)));
             RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == 4) {
                std::memcpy(&dst, RTA_DATA(a), 4);
                haveDst = true;
            } else if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) == 6) {
                std::memcpy(ll.data(), RTA_DATA(a), 6);
                haveLl = true;
            }
        }
        if (!haveDst || dst != ipNet) return true;
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
void RequestResolution(int ifIndex, uint32_t ipNet) {
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
        req.nd.ndm_family = AF_INET;
        req.nd.ndm_ifindex = ifIndex;
        req.nd.ndm_flags = NTF_USE;
        req.nd.ndm_state = NUD_NONE;
        AddAttr(&req.h, sizeof req, NDA_DST, &ipNet, 4);
        int err = 0;
        asked = nl.Send(&req.h) && nl.Receive([](nlmsghdr*) { return true; }, &err);
    }
    if (asked) return;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return;
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(static_cast<unsigned>(ifIndex), name))
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, static_cast<socklen_t>(std::strlen(name)));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = ipNet;
    char b = 0;
    sendto(fd, &b, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

}  // namespace

bool LookupRoute(uint32_t dstNet, RouteInfo& out) {
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
    req.rt.rtm_family = AF_INET;
    req.rt.rtm_dst_len = 32;
    AddAttr(&req.h, sizeof req, RTA_DST, &dstNet, 4);
    if (!nl.Send(&req.h)) return false;
    bool ok = false;
    RouteInfo r;
    nl.Receive([&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWROUTE) return true;
        auto* rt = static_cast<rtmsg*>(NLMSG_DATA(h));
        if (rt->rtm_type != RTN_UNICAST && rt->rtm_type != RTN_LOCAL) return false;
        int alen = static_cast<int>(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(rt); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) std::memcpy(&r.ifIndex, RTA_DATA(a), 4);
            else if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) == 4) std::memcpy(&r.gateway, RTA_DATA(a), 4);
            else if (a->rta_type == RTA_PREFSRC && RTA_PAYLOAD(a) == 4) std::memcpy(&r.prefSrc, RTA_DATA(a), 4);
        }
        ok = r.ifIndex > 0;
        return false;
    });
    if (ok) out = r;
    return ok;
}

bool LookupNeighbour(int ifIndex, uint32_t ipNet, MacAddress& mac, int resolveTimeoutMs) {
    bool incomplete = false;
    if (FindNeighbour(ifIndex, ipNet, mac, incomplete)) return true;
    if (resolveTimeoutMs <= 0) return false;
    RequestResolution(ifIndex, ipNet);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(resolveTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (FindNeighbour(ifIndex, ipNet, mac, incomplete)) return true;
    }
    return false;
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
            if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || info.name != ifa->ifa_name) continue;
            sockaddr_in sin;
            std::memcpy(&sin, ifa->ifa_addr, sizeof sin);
            info.firstIpv4 = sin.sin_addr.s_addr;
            break;
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
