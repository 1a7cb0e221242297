#include "tools/SystemInfo.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/PlatformTexts.h"

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

// "MemTotal:       16318412 kB" → bytes. The kernel always reports these lines in kB.
bool MemInfoValue(const std::string& text, const std::string& key, double& bytes) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
        const char* p = line.c_str() + key.size() + 1;
        char* end = nullptr;
        unsigned long long value = std::strtoull(p, &end, 10);
        if (end == p) return false;
        std::string unit(end);
        size_t b = unit.find_first_not_of(" \t");
        unit = b == std::string::npos ? "" : unit.substr(b);
        double scale = (unit.rfind("kB", 0) == 0) ? 1024.0 : 1.0;
        bytes = static_cast<double>(value) * scale;
        return true;
    }
    return false;
}

}  // namespace

bool ParseMemInfo(const std::string& text, double& totalBytes, double& availableBytes) {
    double total = 0, avail = 0;
    if (!MemInfoValue(text, "MemTotal", total)) return false;
    // Kernels before 3.14 lack MemAvailable; free + buffers + cache approximates it there.
    if (!MemInfoValue(text, "MemAvailable", avail)) {
        double fr = 0, buf = 0, cache = 0;
        if (!MemInfoValue(text, "MemFree", fr)) return false;
        MemInfoValue(text, "Buffers", buf);
        MemInfoValue(text, "Cached", cache);
        avail = fr + buf + cache;
    }
    totalBytes = total;
    availableBytes = avail;
    return true;
}

std::string ParseOsReleasePrettyName(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        // os-release values follow shell quoting: strip one pair of quotes and backslash escapes.
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        std::string out;
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size()) ++i;
            out += v[i];
        }
        return out;
    }
    return "";
}

std::string OsDisplayText(const std::string& prettyName, const std::string& kernelRelease) {
    std::string name = prettyName.empty() ? "Linux" : prettyName;
    if (kernelRelease.empty()) return name;
    return name + " - Linux " + kernelRelease;
}

std::vector<std::string> ActiveInterfaceLines(const std::vector<platform::InterfaceAddress>& addresses) {
    std::vector<std::string> lines;
    std::vector<std::string> seen;
    for (const auto& a : addresses) {
        if (!a.up || a.loopback || a.ipv4.empty() || a.ipv4 == "0.0.0.0") continue;
        bool listed = false;
        for (const auto& s : seen) listed = listed || s == a.name;
        if (listed) continue;  // an interface with several addresses shows its first one
        seen.push_back(a.name);
        lines.push_back(a.name + " (" + a.ipv4 + ")");
    }
    if (lines.empty()) lines.push_back(kNoActiveInterface);
    return lines;
}

SystemInfo CollectSystemInfo() {
    SystemInfo info;
    info.computerName = platform::HostName();
    if (info.computerName.empty()) info.computerName = "Unknown";

    std::string text;
    info.osText = platform::NativeOsText();
    if (info.osText.empty()) {
        std::string pretty;
        if (platform::ReadSmallTextFile("/etc/os-release", text) ||
            platform::ReadSmallTextFile("/usr/lib/os-release", text))
            pretty = ParseOsReleasePrettyName(text);
        info.osText = OsDisplayText(pretty, platform::KernelRelease());
    }

    uint64_t memTotal = 0, memAvail = 0;
    double total = 0, avail = 0;
    if (platform::NativeMemoryStatus(memTotal, memAvail)) {
        info.ramTotalGb = static_cast<double>(memTotal) / kGiB;
        info.ramAvailableGb = static_cast<double>(memAvail) / kGiB;
    } else if (platform::ReadSmallTextFile("/proc/meminfo", text) && ParseMemInfo(text, total, avail)) {
        info.ramTotalGb = total / kGiB;
        info.ramAvailableGb = avail / kGiB;
    }

    uint64_t diskTotal = 0, diskAvail = 0;
    if (platform::FileSystemSpace(platform::Texts().systemDiskPath, diskTotal, diskAvail)) {
        info.diskTotalGb = static_cast<double>(diskTotal) / kGiB;
        info.diskFreeGb = static_cast<double>(diskAvail) / kGiB;
    }

    info.interfaces = ActiveInterfaceLines(platform::ListIpv4Interfaces());
    return info;
}

std::string MemoryFiguresText(const SystemInfo& info) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f / %.1f GB", info.ramTotalGb - info.ramAvailableGb, info.ramTotalGb);
    return buf;
}

std::string DiskFiguresText(const SystemInfo& info) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f / %.0f GB Livre", info.diskFreeGb, info.diskTotalGb);
    return buf;
}

float MemoryUsedFraction(const SystemInfo& info) {
    if (info.ramTotalGb <= 0.0) return 0.0f;
    return static_cast<float>(info.ramTotalGb - info.ramAvailableGb) / static_cast<float>(info.ramTotalGb);
}

float DiskUsedFraction(const SystemInfo& info) {
    if (info.diskTotalGb <= 0.0) return 0.0f;
    return static_cast<float>(info.diskTotalGb - info.diskFreeGb) / static_cast<float>(info.diskTotalGb);
}

bool SystemInfoRefreshDue(float& timer, float deltaSeconds) {
    // The timer is tested for zero before the frame time is added: a GUI frame never lasts
    // zero seconds, so testing the sum would leave the dashboard empty for its first 2 s.
    const bool firstDrawing = timer == 0.0f;
    timer += deltaSeconds;
    if (firstDrawing || timer > kSystemInfoRefreshSeconds) {
        timer = 0.01f;
        return true;
    }
    return false;
}
