#include "platform/SystemFacts.h"
#include "platform/AdapterListWindows.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <vector>

namespace platform {

std::string HostName() {
    char buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof buf;
    if (!GetComputerNameA(buf, &size)) return "";
    return std::string(buf, size);
}

namespace {

// GetVersionEx answers what the manifest claims to support; RtlGetVersion tells the truth.
bool RealVersion(RTL_OSVERSIONINFOW& info) {
    info = {};
    info.dwOSVersionInfoSize = sizeof info;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll) return false;
    using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    auto fn = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    return fn && fn(&info) == 0;
}

}  // namespace

std::string KernelRelease() {
    RTL_OSVERSIONINFOW v;
    if (!RealVersion(v)) return "";
    return std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) + "." +
           std::to_string(v.dwBuildNumber);
}

std::string NativeOsText() {
    RTL_OSVERSIONINFOW v;
    if (!RealVersion(v)) return "Windows";
    std::string name = "Windows";
    // Windows 11 still reports version 10.0; its builds start at 22000.
    if (v.dwMajorVersion == 10 && v.dwMinorVersion == 0)
        name += v.dwBuildNumber >= 22000 ? " 11" : " 10";
    else if (v.dwMajorVersion == 6 && v.dwMinorVersion == 3)
        name += " 8.1";
    else if (v.dwMajorVersion == 6 && v.dwMinorVersion == 1)
        name += " 7";
    return name + " (" + KernelRelease() + ")";
}

bool NativeMemoryStatus(uint64_t& totalBytes, uint64_t& availableBytes) {
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof m;
    if (!GlobalMemoryStatusEx(&m)) return false;
    totalBytes = m.ullTotalPhys;
    availableBytes = m.ullAvailPhys;
    return true;
}

bool FileSystemSpace(const std::string& path, uint64_t& totalBytes, uint64_t& availableBytes) {
    ULARGE_INTEGER toCaller{}, total{}, free{};
    if (!GetDiskFreeSpaceExA(path.c_str(), &toCaller, &total, &free)) return false;
    totalBytes = total.QuadPart;
    availableBytes = toCaller.QuadPart;
    return true;
}

std::vector<unsigned char> AdapterAddresses(int family) {
    // The list's size is not known beforehand; grow the buffer as the call asks.
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buf;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buf.resize(size);
        rc = GetAdaptersAddresses(static_cast<ULONG>(family),
                                  GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    }
    if (rc != NO_ERROR) buf.clear();
    return buf;
}

std::vector<InterfaceAddress> ListIpv4Interfaces() {
    std::vector<InterfaceAddress> out;
    std::vector<unsigned char> buf = AdapterAddresses(AF_INET);
    if (buf.empty()) return out;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
        // The adapter's description is what the user recognises ("Intel(R) Ethernet ...").
        char description[256] = {};
        WideCharToMultiByte(CP_ACP, 0, a->Description, -1, description, sizeof description - 1, nullptr, nullptr);
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN] = {};
            const auto* sin = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
            if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
            InterfaceAddress entry;
            entry.name = description[0] ? description : a->AdapterName;
            entry.ipv4 = text;
            entry.up = a->OperStatus == IfOperStatusUp;
            entry.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            out.push_back(std::move(entry));
        }
    }
    return out;
}

}  // namespace platform
