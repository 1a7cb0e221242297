#pragma once
#include <string>

// Capture and injection need CAP_NET_RAW and CAP_NET_ADMIN (root, or setcap on the executable).
namespace platform {

struct CaptureRights {
    bool netRaw = false;
    bool netAdmin = false;
    bool Complete() const { return netRaw && netAdmin; }
};

// Effective capabilities of this process.
CaptureRights CurrentCaptureRights();

// "CAP_NET_RAW", "CAP_NET_ADMIN", both joined by " e ", or empty when none is missing.
std::string MissingCaptureRights(const CaptureRights& rights);

}  // namespace platform
