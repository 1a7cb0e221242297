#pragma once
#include <string>
#include <vector>

#include "platform/SystemFacts.h"

// Facts shown on the HOME dashboard; replaced whole on each refresh.
struct SystemInfo {
    std::string computerName;
    std::string osText;
    double ramTotalGb = 0.0;      // GiB (bytes / 2^30)
    double ramAvailableGb = 0.0;
    double diskTotalGb = 0.0;     // root file system
    double diskFreeGb = 0.0;      // space available to an unprivileged user
    std::vector<std::string> interfaces;  // "name (address)"; never empty after a refresh
};

inline constexpr const char* kNoActiveInterface = "Nenhuma interface ativa encontrada.";
inline constexpr float kSystemInfoRefreshSeconds = 2.0f;

SystemInfo CollectSystemInfo();

// /proc/meminfo text → total and available bytes. False when either line is missing.
bool ParseMemInfo(const std::string& text, double& totalBytes, double& availableBytes);

// PRETTY_NAME of an os-release text, quotes and escapes removed; empty when absent.
std::string ParseOsReleasePrettyName(const std::string& text);

// The system name shown on the dashboard, e.g. "Debian GNU/Linux 12 (bookworm) - Linux 6.1.0-18-amd64".
std::string OsDisplayText(const std::string& prettyName, const std::string& kernelRelease);

// Interfaces that are up and not loopback, each once with its first IPv4 address
// ("0.0.0.0" does not count); the single "no interface" line when none is left.
std::vector<std::string> ActiveInterfaceLines(const std::vector<platform::InterfaceAddress>& addresses);

// Dashboard figures: "10.0 / 16.0 GB" (used / total) and "121 / 476 GB Livre" (free / total).
std::string MemoryFiguresText(const SystemInfo& info);
std::string DiskFiguresText(const SystemInfo& info);
// Bar fractions (used share), 0 when the total is unknown.
float MemoryUsedFraction(const SystemInfo& info);
float DiskUsedFraction(const SystemInfo& info);

// The HOME refresh rule: adds the frame time to the timer; true when the facts are due
// (first drawing, timer exactly 0, or more than two seconds since the last refresh), in
// which case the timer restarts.
bool SystemInfoRefreshDue(float& timer, float deltaSeconds);
