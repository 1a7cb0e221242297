#pragma once
#include <string>
#include <vector>

#include "capture/Packet.h"

// Test-only savefile reader: Ethernet (one 802.1Q tag) / IPv4 / UDP or TCP, enough to turn
// the fixture captures into PacketLogEntry records independently of the capture library's
// decoder. Frames that are not IPv4 come back with an empty payload. Empty on error. The
// binary fields (addresses, ports, TCP sequence and flags) are set beside the texts.
std::vector<PacketLogEntry> ReadPcapForTest(const std::string& path);
