#pragma once

struct pcap;

namespace platform {

// Whether the packet-capture library can be used. Where the capture driver installs it
// separately (Windows), it is loaded on first use, so that the program starts and every
// other tab works on a machine without the driver.
bool CaptureLibraryAvailable();

// Opens a savefile for reading, as pcap_open_offline does (errbuf: PCAP_ERRBUF_SIZE bytes).
// Where the C runtime allows it, the file is read through a large buffer and without the
// stream lock stdio takes on every call: libpcap reads each record with two calls, and only
// the capture thread ever reads the file.
pcap* OpenSavefile(const char* path, char* errbuf);

}  // namespace platform
