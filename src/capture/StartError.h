#pragma once
#include <string>

// Why an engine could not start. Mapped from errno/libpcap errors in one place
// (the capture and probe layers); the tabs and the command line turn it into text.
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

// Portuguese sentence for the user, e.g. for the "Falha ao Iniciar" popup. Empty for None.
std::string StartErrorText(StartError error);

// The one place where libpcap's and the kernel's failure texts become a StartError.
// `pcapText` is the error buffer of a failed pcap_open_live / pcap_activate.
StartError StartErrorFromPcapOpen(const std::string& pcapText);
// errno of a failed socket(), setsockopt() or similar call made to start an engine.
StartError StartErrorFromErrno(int error);

// Portuguese cause for a capture loop that ended by itself, from libpcap's text of the read
// error (or the message of a failure while handling a frame). Known libpcap texts are
// translated; others are kept after a Portuguese lead-in.
std::string CaptureEndText(const std::string& loopError);
