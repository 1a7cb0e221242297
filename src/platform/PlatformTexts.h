#pragma once
#include <vector>

// The words that name the operating system and the libraries this build uses, for the texts
// the tabs and the command line make of them (ui/TabTexts.h). Each platform keeps its own set in
// PlatformTexts<Platform>.cpp; nothing here knows a tab.
namespace platform {

struct CreditSection {
    const char* header;
    std::vector<const char*> lines;
};

struct PlatformTexts {
    const char* systemName;           // "sistema" / "Windows", as "pelo ..." names it
    const char* captureLibrary;       // the capture library, in headings
    const char* captureCheckHint;     // what to check when no capture device shows up
    const char* captureCheckHintEn;   // the same, in the English standard-error line
    const char* systemDiskName;       // the system's disk as a user names it
    const char* systemDiskPath;       // the file system that disk is measured at
    const char* noCaptureRights;      // why a capture could not start without rights
    const char* captureLibraryMissing;// the capture library is not installed
    std::vector<CreditSection> credits;  // the third-party parts of this build, in order
};

const PlatformTexts& Texts();

}  // namespace platform
