#pragma once
// The little state that really belongs to more than one tab. The shell owns one of each and
// hands a reference to the tabs that need it; everything else a tab keeps to itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/Packet.h"

// The capture device chosen in the MTR tab is the one the Flow tab starts on, and the other
// way round.
struct CaptureDeviceChoice {
    std::vector<NetDevice> devices;
    int32_t selected = 0;

    // Brings the index back into the list (a list that was replaced may be shorter).
    void Clamp() {
        if (selected < 0 || static_cast<size_t>(selected) >= devices.size()) selected = 0;
    }
    // Name to hand to the capture library; empty for the placeholder or an empty list.
    std::string SelectedName() const {
        if (selected < 0 || static_cast<size_t>(selected) >= devices.size()) return {};
        return devices[static_cast<size_t>(selected)].name;
    }
};

// The capture-device list as the tabs show it: what the capture library found, or one
// placeholder entry (empty name) when it found nothing.
std::vector<NetDevice> DevicesOrPlaceholder(std::vector<NetDevice> found);

// A route trace one tab asks the MTR tab for ("Rastrear no MTR" of the Flow tab). The asking
// tab only leaves the host here; the shell takes it in its next frame, switches to the MTR
// tab and starts the trace. Read and written by the frame only.
class MtrTraceRequest {
public:
    void Ask(std::string host) { pending_ = std::move(host); }
    // The host asked for since the last call, once.
    std::optional<std::string> Take() {
        std::optional<std::string> host = std::move(pending_);
        pending_.reset();
        return host;
    }

private:
    std::optional<std::string> pending_;
};

struct SharedState {
    CaptureDeviceChoice capture;
    MtrTraceRequest mtrTrace;
    // Set by HOME's "BLOQUEAR SISTEMA", cleared by the lock screen on the right password.
    bool locked = true;
};
