#include "capture/StartError.h"

#include <cerrno>

StartError StartErrorFromPcapOpen(const std::string& pcapText) {
    // libpcap words the failed activation as "<device>: <status text> (<syscall>: <strerror>)";
    // on Linux, missing CAP_NET_RAW shows as EPERM from socket(AF_PACKET) and a missing
    // device as ENODEV from the interface lookup.
    auto has = [&](const char* needle) { return pcapText.find(needle) != std::string::npos; };
    if (has("Operation not permitted") || has("ermission")) return StartError::NoCaptureRights;
    if (has("No such device")) return StartError::DeviceNotFound;
    return StartError::CaptureOpenFailed;
}

StartError StartErrorFromErrno(int error) {
    switch (error) {
        case EPERM:
        case EACCES: return StartError::NoCaptureRights;
        case ENODEV:
        case ENXIO: return StartError::DeviceNotFound;
        default: return StartError::SocketFailure;
    }
}
