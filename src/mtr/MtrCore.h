#pragma once
// Placeholder: the MTR engine arrives with its issue. Keep ListDevices and Stop.
#include <vector>

#include "capture/Packet.h"
#include "capture/Sniffer.h"

class MtrCore {
public:
    std::vector<NetDevice> ListDevices() { return sniffer.ListDevices(); }
    void Stop() {}

private:
    Sniffer sniffer;
};
