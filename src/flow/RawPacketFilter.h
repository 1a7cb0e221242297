#pragma once
// The raw packet window's filter: the engine pages through its buffer with it, so the window
// gets only the lines it shows.
#include <string_view>

#include "capture/Packet.h"

// Exact, case-sensitive substring test on "protocol info" and on the payload text.
bool RawPacketMatches(const PacketLogEntry& packet, std::string_view filter);
