#pragma once

namespace platform {

// Whether the packet-capture library can be used. Where the capture driver installs it
// separately (Windows), it is loaded on first use, so that the program starts and every
// other tab works on a machine without the driver.
bool CaptureLibraryAvailable();

}  // namespace platform
