#pragma once
#include <string>

// Why an engine could not start. Mapped from errno/libpcap errors in one place
// (the capture and probe layers); the tabs and the command line turn it into text
// (ui/EngineTexts.h).
enum class StartError {
    None,
    NoCaptureRights,   // CAP_NET_RAW / CAP_NET_ADMIN missing (administrator rights on Windows)
    CaptureLibraryMissing, // the capture driver's library is not installed
    DeviceNotFound,
    CaptureOpenFailed, // libpcap refused to open the device for another reason
    FilterRejected,
    HostNotResolved,
    SocketFailure,
    FileUnreadable,    // offline savefile could not be opened
    AlreadyRunning,
};

// The one place where libpcap's and the kernel's failure texts become a StartError.
// `pcapText` is the error buffer of a failed pcap_open_live / pcap_activate.
StartError StartErrorFromPcapOpen(const std::string& pcapText);
// errno of a failed socket(), setsockopt() or similar call made to start an engine.
StartError StartErrorFromErrno(int error);

