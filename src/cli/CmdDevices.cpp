// orvanta-cli devices: the capture devices as libpcap lists them, "name<TAB>description".
#include <cstdio>

#include "capture/Sniffer.h"
#include "capture/StartError.h"
#include "cli/Command.h"
#include "platform/CaptureLibrary.h"
#include "ui/TabTexts.h"
#include "ui/EngineTexts.h"

namespace {

int RunDevices(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "uso: orvanta-cli devices\n");
        return kExitUsage;
    }
    if (!platform::CaptureLibraryAvailable()) {
        std::fprintf(stderr, "orvanta-cli: %s\n", StartErrorText(StartError::CaptureLibraryMissing).c_str());
        return kExitFailure;
    }
    Sniffer sniffer;
    const std::vector<NetDevice> devices = sniffer.ListDevices();
    if (devices.empty()) {
        std::fprintf(stderr, "orvanta-cli: %s\n", ui::NoCaptureDeviceText().c_str());
        return kExitFailure;
    }
    for (const NetDevice& d : devices) std::printf("%s\t%s\n", d.name.c_str(), d.description.c_str());
    return kExitOk;
}

CommandRegistration reg({"devices", "devices", &RunDevices});

}  // namespace
