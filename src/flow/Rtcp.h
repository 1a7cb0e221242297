#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// RTCP sender and receiver reports (RFC 3550 section 6.4) read from a UDP payload.
struct RtcpReportBlock {
    uint32_t ssrc = 0;            // the stream this block describes
    uint8_t fractionLost = 0;     // lost since the previous report, in 1/256
    int32_t cumulativeLost = 0;   // 24-bit signed on the wire
    uint32_t highestSequence = 0; // extended highest sequence number received
    uint32_t jitter = 0;          // interarrival jitter in RTP timestamp units
    uint32_t lastSr = 0;          // LSR: middle 32 bits of the last SR's NTP time, 0 = none
    uint32_t delaySinceLastSr = 0;// DLSR in 1/65536 s
};

struct RtcpReport {
    uint8_t packetType = 0;       // 200 SR, 201 RR
    uint32_t senderSsrc = 0;
    bool hasSenderInfo = false;   // SR only
    uint64_t ntpTimestamp = 0;
    uint32_t rtpTimestamp = 0;
    uint32_t senderPacketCount = 0;
    uint32_t senderOctetCount = 0;
    std::vector<RtcpReportBlock> blocks;
};

inline constexpr uint8_t kRtcpSenderReport = 200;
inline constexpr uint8_t kRtcpReceiverReport = 201;

// True when the payload starts like an RTCP packet (version 2, packet type 200-204): RTP
// and RTCP share the version bits, the type byte tells them apart.
inline bool LooksLikeRtcp(std::span<const uint8_t> payload) {
    return payload.size() >= 8 && (payload[0] >> 6) == 2 && payload[1] >= 200 && payload[1] <= 204;
}

// Every SR and RR of a compound packet, in order. Other packet types (SDES, BYE, APP, ...) are
// stepped over by their length; a header whose length runs past the payload, or a report
// count that does not fit its packet, ends the walk with what was read so far.
std::vector<RtcpReport> ReadRtcpCompound(std::span<const uint8_t> payload);

// Middle 32 bits of a 64-bit NTP time stamp: the unit LSR is written in.
inline uint32_t NtpMiddle(uint64_t ntp) { return static_cast<uint32_t>(ntp >> 16); }

// Round trip in ms from a report block seen at `arrivalMiddle` (same unit as LSR):
// A - LSR - DLSR. Nothing when the block carries no LSR or the result is negative.
std::optional<double> RoundTripMs(uint32_t arrivalMiddle, uint32_t lastSr, uint32_t delaySinceLastSr);
