#include "mtr/MtrTypes.h"

#include <algorithm>
#include <cctype>

#include "probe/NetworkSender.h"

int32_t MtrSequenceSpace(int32_t protocol) {
    return protocol == kProbeIcmp ? 65536 : 65536 - kProbeBasePort;
}

std::string ProbeProtocolName(int32_t protocol) {
    if (protocol < 0 || protocol >= static_cast<int32_t>(kProbeProtocolLabels.size())) protocol = kProbeIcmp;
    std::string name = kProbeProtocolLabels[static_cast<size_t>(protocol)];
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

std::optional<int32_t> ProbeProtocolFromName(std::string_view name) {
    for (int32_t p = 0; p < static_cast<int32_t>(kProbeProtocolLabels.size()); ++p)
        if (ProbeProtocolName(p) == name) return p;
    return std::nullopt;
}

std::string MtrPcapFileName(const std::string& timeStamp, int32_t protocol) {
    return timeStamp + "_" + ProbeProtocolName(protocol) + ".pcap";
}

int64_t MtrNowTicks() { return WallClockTicks(); }
