#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The machine's host name; empty when it cannot be read.
std::string HostName();

// Release of the running kernel (for example "6.1.0-18-amd64"); empty when unknown.
std::string KernelRelease();

// Facts the system reports through a call of its own (Windows). Where they are read from
// text files instead (/proc/meminfo, os-release on Linux), these give nothing and the
// dashboard parses the files.
bool NativeMemoryStatus(uint64_t& totalBytes, uint64_t& availableBytes);
std::string NativeOsText();  // e.g. "Windows 11 (10.0.22631)"; empty where not provided

// Whole contents of a small text file such as /proc/meminfo; false when it cannot be read.
bool ReadSmallTextFile(const std::string& path, std::string& text);

// Size of the file system holding `path` and the bytes an unprivileged user may still use.
bool FileSystemSpace(const std::string& path, uint64_t& totalBytes, uint64_t& availableBytes);

// One IPv4 address of one interface, in the order the kernel lists them.
struct InterfaceAddress {
    std::string name;
    std::string ipv4;  // dotted quad
    bool up = false;
    bool loopback = false;
};
std::vector<InterfaceAddress> ListIpv4Interfaces();

}  // namespace platform
