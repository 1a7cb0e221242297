#pragma once
// Test helpers that write and read savefiles with libpcap itself, independent of Sniffer.
#include "lib/TestEnv.h"
#include <pcap/pcap.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

struct Record {
    uint32_t tsSec = 0;
    uint32_t tsUsec = 0;
    uint32_t wireLength = 0;
    std::vector<uint8_t> bytes;
};

struct Savefile {
    bool ok = false;
    int linkType = -1;
    int snapLength = 0;
    std::vector<Record> records;
};

inline Savefile ReadSavefile(const std::string& path) {
    Savefile f;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
    if (!p) return f;
    f.ok = true;
    f.linkType = pcap_datalink(p);
    f.snapLength = pcap_snapshot(p);
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1)
        f.records.push_back({static_cast<uint32_t>(h->ts.tv_sec), static_cast<uint32_t>(h->ts.tv_usec), h->len,
                             std::vector<uint8_t>(d, d + h->caplen)});
    pcap_close(p);
    return f;
}

inline bool WriteSavefile(const std::string& path, int linkType, const std::vector<Record>& records) {
    pcap_t* dead = pcap_open_dead(linkType, 262144);
    if (!dead) return false;
    pcap_dumper_t* out = pcap_dump_open(dead, path.c_str());
    if (!out) {
        pcap_close(dead);
        return false;
    }
    for (const Record& r : records) {
        pcap_pkthdr h{};
        h.ts.tv_sec = r.tsSec;
        h.ts.tv_usec = r.tsUsec;
        h.caplen = static_cast<bpf_u_int32>(r.bytes.size());
        h.len = r.wireLength ? r.wireLength : h.caplen;
        pcap_dump(reinterpret_cast<u_char*>(out), &h, r.bytes.data());
    }
    pcap_dump_close(out);
    pcap_close(dead);
    return true;
}

// A private directory under the system temp dir, removed with its contents.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "oc-capture-XXXXXX").string();
        if (MakeTempDirectory(templ)) path = templ;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string File(const std::string& name) const { return (path / name).string(); }
};
