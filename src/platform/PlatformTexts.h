#pragma once
#include <vector>

// User-visible texts that name the operating system or its capture and drawing libraries.
// Each platform keeps its own set in PlatformTexts<Platform>.cpp, so the engines and tabs
// stay the same source on every platform.
namespace platform {

struct CreditSection {
    const char* header;
    std::vector<const char*> lines;
};

struct PlatformTexts {
    const char* noDevice;             // placeholder entry of the device combo boxes
    const char* diskRowLabel;         // HOME disk row
    const char* systemDiskPath;       // the file system that row measures
    const char* captureHeading;       // MTR packet log heading
    const char* snifferInitFailed;    // the standard-error line of a failed MTR capture start
    const char* noAudioDevices;       // Som error popup
    const char* noCaptureRights;      // why a capture could not start without rights
    const char* captureLibraryMissing;// the capture library is not installed
    std::vector<CreditSection> credits;  // "Créditos de Terceiros", in order
};

const PlatformTexts& Texts();

}  // namespace platform
