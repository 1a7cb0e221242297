#pragma once
#include <cstddef>

struct pcap;

namespace platform {

// Whether the packet-capture library can be used. Where the capture driver installs it
// separately (Windows), it is loaded on first use, so that the program starts and every
// other tab works on a machine without the driver.
bool CaptureLibraryAvailable();

// Size of the stream buffer a savefile is read through, where the C runtime allows one.
inline constexpr size_t kSavefileBufferBytes = 256 * 1024;

// Opens a savefile for reading, as pcap_open_offline does (errbuf: PCAP_ERRBUF_SIZE bytes).
// Where the C runtime allows it, the file is read through `streamBuffer` (the caller's,
// kSavefileBufferBytes long, kept until pcap_close) and without the stream lock stdio takes
// on every call: libpcap reads each record with two calls, and only the capture thread ever
// reads the file. glibc's setvbuf ignores the size it is given without a buffer and keeps
// its 4 KiB one, which costs a system call per 4 KiB of the file.
pcap* OpenSavefile(const char* path, char* errbuf, char* streamBuffer);

}  // namespace platform
