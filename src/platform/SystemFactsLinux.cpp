#include "platform/SystemFacts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>


namespace platform {

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
}

std::string KernelRelease() {
    struct utsname u {};
    if (uname(&u) != 0) return "";
    return u.release;
}

bool NativeMemoryStatus(uint64_t&, uint64_t&) { return false; }

std::string NativeOsText() { return {}; }

bool FileSystemSpace(const std::string& path, uint64_t& totalBytes, uint64_t& availableBytes) {
    struct statvfs st {};
    if (statvfs(path.c_str(), &st) != 0) return false;
    // f_frsize is the unit of the block counts (f_bsize is only the preferred I/O size).
    uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    totalBytes = static_cast<uint64_t>(st.f_blocks) * unit;
    availableBytes = static_cast<uint64_t>(st.f_bavail) * unit;
    return true;
}

std::vector<InterfaceAddress> ListIpv4Interfaces() {
    std::vector<InterfaceAddress> out;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (struct ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !ifa->ifa_name) continue;
        InterfaceAddress entry;
        entry.name = ifa->ifa_name;
        char text[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const struct sockaddr_in*>(ifa->ifa_addr);
        if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
        entry.ipv4 = text;
        // IFF_UP is the administrative state; IFF_RUNNING tells whether the link carries traffic.
        entry.up = (ifa->ifa_flags & IFF_UP) && (ifa->ifa_flags & IFF_RUNNING);
        entry.loopback = (ifa->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(std::move(entry));
    }
    freeifaddrs(list);
    return out;
}

}  // namespace platform
