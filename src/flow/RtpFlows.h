#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/NetAddress.h"
#include "flow/SipCall.h"

// One media packet as CallTracker sees it: its endpoints, the payload and the capture time
// text.
struct MediaPacket {
    const Endpoint& source;
    const Endpoint& destination;
    std::span<const uint8_t> payload;
    const std::string& time;
};

// Counts a media packet into the per-direction RTP flow entry of the call it was matched
// to, creating the entry on the first packet of that direction. This is the one place where
// a matched packet touches its call's media state.
void CountRtpPacket(SipCall& call, const MediaPacket& packet);
