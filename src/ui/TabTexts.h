#pragma once
#include <string>

// The tabs' and the command line's sentences that name the system or its capture library,
// made once from platform::Texts().
namespace ui {

const std::string& NoCaptureDeviceText();   // placeholder entry of the device combo boxes
const std::string& DiskRowLabel();          // HOME disk row
const std::string& CaptureHeading();        // MTR packet log heading
const std::string& CaptureStartFailedLine();// the standard-error line of a failed MTR capture start
const std::string& NoAudioDevicesText();    // Som error popup

}  // namespace ui
