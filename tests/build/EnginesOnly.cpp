// Uses each engine library once, so that the link really needs all four.
#include <cstdio>
#include <string>

#include "capture/StartError.h"
#include "flow/FlowCore.h"
#include "mtr/MtrCore.h"
#include "probe/ProbePackets.h"

int main() {
    std::printf("%s\n%s\n%s\n", FlowCore::BuildFilter(5060, 10000, 20000).c_str(),
                MtrPcapFileName("00000000_000000", kProbeUdp).c_str(), std::to_string(static_cast<int>(StartErrorFromErrno(0))).c_str());
    return 0;
}
