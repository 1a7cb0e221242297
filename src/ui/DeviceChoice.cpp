#include "ui/DeviceChoice.h"

#include "ui/TabTexts.h"

std::vector<NetDevice> DevicesOrPlaceholder(std::vector<NetDevice> found) {
    // The MTR and Flow device combos always need one line to show.
    if (found.empty()) {
        NetDevice placeholder;
        placeholder.description = ui::NoCaptureDeviceText();
        found.push_back(placeholder);
    }
    return found;
}
