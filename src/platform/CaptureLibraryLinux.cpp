#include "platform/CaptureLibrary.h"

#include <pcap/pcap.h>
#include <stdio_ext.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

// libpcap is a shared library the executable is linked against: it is there or we never ran.
bool CaptureLibraryAvailable() { return true; }

pcap_t* OpenSavefile(const char* path, char* errbuf, char* streamBuffer) {
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        // The text pcap_open_offline gives.
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", path, std::strerror(errno));
        return nullptr;
    }
    __fsetlocking(file, FSETLOCKING_BYCALLER);
    if (streamBuffer) std::setvbuf(file, streamBuffer, _IOFBF, kSavefileBufferBytes);
    pcap_t* handle = pcap_fopen_offline(file, errbuf);
    if (!handle) std::fclose(file);  // pcap_close closes it once the handle exists
    return handle;
}

}  // namespace platform
