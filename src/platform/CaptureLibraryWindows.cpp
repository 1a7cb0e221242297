// The capture driver's wpcap.dll is loaded at run time instead of being imported: an
// imported DLL that is missing stops the program before main, so a machine without the
// driver could not even use the tabs that need no capture. The libpcap functions the
// program calls are defined here and forward to the DLL; without it they fail the way
// libpcap fails, with the "not installed" text in the error buffer.
#include "platform/CaptureLibrary.h"

#include <windows.h>

#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/PlatformTexts.h"

namespace {

#define OC_PCAP_FUNCTIONS(X)                                                                  \
    X(pcap_findalldevs, int, (pcap_if_t**, char*))                                           \
    X(pcap_freealldevs, void, (pcap_if_t*))                                                  \
    X(pcap_open_live, pcap_t*, (const char*, int, int, int, char*))                           \
    X(pcap_create, pcap_t*, (const char*, char*))                                            \
    X(pcap_set_snaplen, int, (pcap_t*, int))                                                 \
    X(pcap_set_promisc, int, (pcap_t*, int))                                                 \
    X(pcap_set_timeout, int, (pcap_t*, int))                                                 \
    X(pcap_set_buffer_size, int, (pcap_t*, int))                                             \
    X(pcap_activate, int, (pcap_t*))                                                         \
    X(pcap_stats, int, (pcap_t*, struct pcap_stat*))                                         \
    X(pcap_statustostr, const char*, (int))                                                  \
    X(pcap_open_offline, pcap_t*, (const char*, char*))                                      \
    X(pcap_open_dead, pcap_t*, (int, int))                                                   \
    X(pcap_close, void, (pcap_t*))                                                           \
    X(pcap_datalink, int, (pcap_t*))                                                         \
    X(pcap_snapshot, int, (pcap_t*))                                                         \
    X(pcap_geterr, char*, (pcap_t*))                                                         \
    X(pcap_compile, int, (pcap_t*, struct bpf_program*, const char*, int, bpf_u_int32))      \
    X(pcap_setfilter, int, (pcap_t*, struct bpf_program*))                                   \
    X(pcap_freecode, void, (struct bpf_program*))                                            \
    X(pcap_offline_filter, int, (const struct bpf_program*, const struct pcap_pkthdr*, const u_char*)) \
    X(pcap_next_ex, int, (pcap_t*, struct pcap_pkthdr**, const u_char**))                    \
    X(pcap_sendpacket, int, (pcap_t*, const u_char*, int))                                   \
    X(pcap_breakloop, void, (pcap_t*))                                                       \
    X(pcap_dump_open, pcap_dumper_t*, (pcap_t*, const char*))                                \
    X(pcap_dump, void, (u_char*, const struct pcap_pkthdr*, const u_char*))                  \
    X(pcap_dump_flush, int, (pcap_dumper_t*))                                                \
    X(pcap_dump_ftell64, int64_t, (pcap_dumper_t*))                                          \
    X(pcap_dump_close, void, (pcap_dumper_t*))

struct CaptureDll {
#define OC_PCAP_POINTER(name, ret, args) ret(*name) args = nullptr;
    OC_PCAP_FUNCTIONS(OC_PCAP_POINTER)
#undef OC_PCAP_POINTER
    bool loaded = false;
};

std::string DirectoryOf(const std::string& path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// The driver installs wpcap.dll and its Packet.dll into System32\Npcap, which is not on the
// DLL search path. Loading by full path with the altered search order lets wpcap.dll find
// Packet.dll in its own folder. Beside the executable is the second place: a savefile-only
// build of the library serves the tests there.
HMODULE LoadWpcap() {
    char system[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryA(system, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        const std::string npcapDir = std::string(system) + "\\Npcap";
        SetDllDirectoryA(npcapDir.c_str());
        HMODULE h = LoadLibraryExA((npcapDir + "\\wpcap.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        SetDllDirectoryA(nullptr);
        if (h) return h;
    }
    char exe[MAX_PATH] = {};
    const DWORD len = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (len == 0 || len >= MAX_PATH) return nullptr;
    const std::string beside = DirectoryOf(exe) + "\\wpcap.dll";
    return LoadLibraryExA(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

const CaptureDll& Dll() {
    static CaptureDll dll;
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE h = LoadWpcap();
        if (!h) return;
        bool complete = true;
#define OC_PCAP_RESOLVE(name, ret, args)                                                  \
    dll.name = reinterpret_cast<ret(*) args>(reinterpret_cast<void*>(GetProcAddress(h, #name))); \
    complete = complete && dll.name != nullptr;
        OC_PCAP_FUNCTIONS(OC_PCAP_RESOLVE)
#undef OC_PCAP_RESOLVE
        // A library without one of these is not one we can drive; use none of it.
        if (!complete) {
            FreeLibrary(h);
            dll = CaptureDll{};
            return;
        }
        dll.loaded = true;
    });
    return dll;
}

void MissingError(char* errbuf) {
    if (errbuf) std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", platform::Texts().captureLibraryMissing);
}

}  // namespace

namespace platform {

bool CaptureLibraryAvailable() { return Dll().loaded; }

// The driver's DLL has a C runtime of its own: a FILE opened here cannot be handed to it.
pcap_t* OpenSavefile(const char* path, char* errbuf, char*) { return pcap_open_offline(path, errbuf); }

}  // namespace platform

extern "C" {

int pcap_findalldevs(pcap_if_t** devices, char* errbuf) {
    if (!Dll().loaded) {
        if (devices) *devices = nullptr;
        MissingError(errbuf);
        return PCAP_ERROR;
    }
    return Dll().pcap_findalldevs(devices, errbuf);
}

void pcap_freealldevs(pcap_if_t* devices) {
    if (Dll().loaded && devices) Dll().pcap_freealldevs(devices);
}

pcap_t* pcap_open_live(const char* device, int snaplen, int promisc, int timeoutMs, char* errbuf) {
    if (!Dll().loaded) {
        MissingError(errbuf);
        return nullptr;
    }
    return Dll().pcap_open_live(device, snaplen, promisc, timeoutMs, errbuf);
}

pcap_t* pcap_create(const char* device, char* errbuf) {
    if (!Dll().loaded) {
        MissingError(errbuf);
        return nullptr;
    }
    return Dll().pcap_create(device, errbuf);
}

const char* pcap_statustostr(int status) {
    return Dll().loaded ? Dll().pcap_statustostr(status) : "capture library not loaded";
}

pcap_t* pcap_open_offline(const char* path, char* errbuf) {
    if (!Dll().loaded) {
        MissingError(errbuf);
        return nullptr;
    }
    return Dll().pcap_open_offline(path, errbuf);
}

pcap_t* pcap_open_dead(int linktype, int snaplen) {
    return Dll().loaded ? Dll().pcap_open_dead(linktype, snaplen) : nullptr;
}

// Every function below takes a handle, which only exists when the library was loaded.
void pcap_close(pcap_t* p) { Dll().pcap_close(p); }
int pcap_datalink(pcap_t* p) { return Dll().pcap_datalink(p); }
int pcap_snapshot(pcap_t* p) { return Dll().pcap_snapshot(p); }
char* pcap_geterr(pcap_t* p) { return Dll().pcap_geterr(p); }
int pcap_compile(pcap_t* p, struct bpf_program* program, const char* text, int optimize, bpf_u_int32 netmask) {
    return Dll().pcap_compile(p, program, text, optimize, netmask);
}
int pcap_setfilter(pcap_t* p, struct bpf_program* program) { return Dll().pcap_setfilter(p, program); }
void pcap_freecode(struct bpf_program* program) {
    if (Dll().loaded) Dll().pcap_freecode(program);
}
// Takes no handle: a program exists only when the library was loaded, but say so anyway.
int pcap_offline_filter(const struct bpf_program* program, const struct pcap_pkthdr* header, const u_char* data) {
    return Dll().loaded ? Dll().pcap_offline_filter(program, header, data) : 0;
}
int pcap_next_ex(pcap_t* p, struct pcap_pkthdr** header, const u_char** data) {
    return Dll().pcap_next_ex(p, header, data);
}
int pcap_set_snaplen(pcap_t* p, int snaplen) { return Dll().pcap_set_snaplen(p, snaplen); }
int pcap_set_promisc(pcap_t* p, int promisc) { return Dll().pcap_set_promisc(p, promisc); }
int pcap_set_timeout(pcap_t* p, int timeoutMs) { return Dll().pcap_set_timeout(p, timeoutMs); }
int pcap_set_buffer_size(pcap_t* p, int bytes) { return Dll().pcap_set_buffer_size(p, bytes); }
int pcap_activate(pcap_t* p) { return Dll().pcap_activate(p); }
int pcap_stats(pcap_t* p, struct pcap_stat* stats) { return Dll().pcap_stats(p, stats); }
int pcap_sendpacket(pcap_t* p, const u_char* data, int length) { return Dll().pcap_sendpacket(p, data, length); }
void pcap_breakloop(pcap_t* p) { Dll().pcap_breakloop(p); }
pcap_dumper_t* pcap_dump_open(pcap_t* p, const char* path) { return Dll().pcap_dump_open(p, path); }
void pcap_dump(u_char* dumper, const struct pcap_pkthdr* header, const u_char* data) {
    Dll().pcap_dump(dumper, header, data);
}
int pcap_dump_flush(pcap_dumper_t* dumper) { return Dll().pcap_dump_flush(dumper); }
int64_t pcap_dump_ftell64(pcap_dumper_t* dumper) { return Dll().pcap_dump_ftell64(dumper); }
void pcap_dump_close(pcap_dumper_t* dumper) { Dll().pcap_dump_close(dumper); }

}  // extern "C"
