#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/NetAddress.h"
#include "capture/Packet.h"
#include "flow/SipCall.h"

// One media packet as CallTracker sees it: its endpoints, the payload and the entry it came
// in.
struct MediaPacket {
    const Endpoint& source;
    const Endpoint& destination;
    std::span<const uint8_t> payload;
    const PacketLogEntry& entry;  // for the capture time of a new entry
};

// Counts a media packet into the per-direction RTP flow entry of the call it was matched
// to, creating the entry on the first packet of that direction. This is the one place where
// a matched packet touches its call's media state.
// The entry's counts change with every packet; its label text is not kept up to date there.
void CountRtpPacket(SipCall& call, const MediaPacket& packet);

// The label of an RTP flow entry as the ladder and the message view show it: "RTP Flow:
// <source> -> <destination>\nCodec: (<codec>) - 1 [<n>b]" for its first packet, then
// "RTP (<codec>) - <count> [<n>b]", with the payload type and size of the latest packet.
void WriteRtpFlowText(SipMessage& flow);
