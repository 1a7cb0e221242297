#include "platform/CaptureLibrary.h"

namespace platform {

// libpcap is a shared library the executable is linked against: it is there or we never ran.
bool CaptureLibraryAvailable() { return true; }

}  // namespace platform
