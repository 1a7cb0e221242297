#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/TestSupport.h"

namespace mtrtest {

using testsupport::CommandResult;
using testsupport::MakeTempDir;
using testsupport::RunCommand;
using testsupport::WaitFor;

inline std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
    std::map<std::string, std::string> kv;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return kv;
}

// Number of records in a pcap savefile (classic format), -1 when it is not one.
inline int CountPcapRecords(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 24) return -1;
    auto u32 = [&](size_t off, bool swap) {
        uint32_t v = uint32_t(uint8_t(data[off])) | uint32_t(uint8_t(data[off + 1])) << 8 |
                     uint32_t(uint8_t(data[off + 2])) << 16 | uint32_t(uint8_t(data[off + 3])) << 24;
        return swap ? __builtin_bswap32(v) : v;
    };
    uint32_t magic = u32(0, false);
    bool swap;
    if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d) swap = false;
    else if (magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1) swap = true;
    else return -1;
    int count = 0;
    size_t off = 24;
    while (off + 16 <= data.size()) {
        uint32_t caplen = u32(off + 8, swap);
        if (off + 16 + caplen > data.size()) break;
        off += 16 + caplen;
        ++count;
    }
    return count;
}

// The lines of a program's output, and the ';'-separated fields of one line.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ';');) out.push_back(f);
    return out;
}

}  // namespace mtrtest
