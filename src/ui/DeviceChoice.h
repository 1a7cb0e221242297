#pragma once
// State that more than one tab shows and changes: the capture device chosen in the MTR and
// Flow tabs, and the route trace one tab asks the MTR tab for. The shell owns one of each and
// hands references to the tabs that need them.
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
