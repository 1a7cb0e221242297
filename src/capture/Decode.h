#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/Packet.h"

// What libpcap's record header says about one frame; the captured length is the size of the
// byte span handed to DecodeFrame.
struct FrameHeader {
    uint32_t tsSec = 0;
    uint32_t tsUsec = 0;
    uint32_t wireLength = 0;
};

// How far a frame could be decoded. Kept apart so a technician can see what was dropped:
// a frame cut short by the snapshot or the link is not the same as a frame whose headers
// contradict themselves, and neither is the same as traffic that is simply not IPv4.
enum class DecodeStatus : uint8_t {
    Decoded,    // IPv4/IPv6 with every header the decoder looks at present and consistent
    Truncated,  // captured data ended before a header the decoder needed
    Malformed,  // a header field is impossible (IPv4 version/IHL, TCP data offset, ...)
    NotMine,    // neither IPv4 nor IPv6 (ARP, ...) or a link type the decoder doesn't know
};

// What the network layer says about a frame that carries one fragment of an IP datagram
// (IPv4 with a fragment offset or More Fragments; IPv6 with a Fragment header other than an
// atomic fragment, RFC 6946). Enough for a reassembler to place the bytes; the addresses are
// the entry's srcAddr / dstAddr.
struct IpFragment {
    bool present = false;
    uint8_t family = 0;          // IpAddress::V4 or IpAddress::V6
    uint32_t identification = 0; // IPv4: the 16-bit field; IPv6: the Fragment header's 32 bits
    uint32_t offset = 0;         // in bytes from the start of the fragmentable part
    bool more = false;           // More Fragments
    uint8_t protocol = 0;        // IPv4 protocol; IPv6 Next Header of the Fragment header
    bool complete = false;       // `bytes` holds the whole fragment (not cut by the snapshot)
    bool malformed = false;      // the lengths contradict themselves (total length < header)
    // The fragment's data: after the IPv4 header up to the total length, or after the IPv6
    // Fragment header up to the payload length, clipped to what was captured. Link-layer
    // padding after the datagram is not part of it.
    std::span<const uint8_t> bytes;
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::NotMine;
    bool deliver = false;  // the entry is filled and goes to onPacket
    bool reply = false;    // the SniffResult is filled and goes to onReply (before onPacket)
    std::span<const uint8_t> payload;  // inside the decoded frame
    IpFragment fragment;
};

// Decodes one frame of the given link type (DLT_* value) into `entry` and, for a probe
// reply, `reply`. Pure: no I/O except the diagnostic trace line for TCP-quoting ICMP errors.
// Reads only inside `frame`. Without `texts` the entry's texts stay empty and only its
// binary fields are filled; DescribePacket makes the texts later for the entries shown.
DecodeResult DecodeFrame(int linkType, const FrameHeader& header, std::span<const uint8_t> frame,
                         PacketLogEntry& entry, SniffResult& reply, bool texts = true);

// The packet log's texts of one entry, as a capture with texts writes them.
struct PacketTexts {
    std::string time;
    std::string source;
    std::string destination;
    std::string protocol;
    std::string info;
};
// The entry's own texts when it has them; for an entry captured without texts, those its
// frame decodes to (the same as if they had been made at capture), and for an entry with no
// frame, its binary endpoints.
PacketTexts DescribePacket(const PacketLogEntry& entry);
// Local "%H:%M:%S.mmm" of the entry's capture time (its own time text when it has one).
std::string PacketTimeText(const PacketLogEntry& entry);
std::string CaptureTimeText(uint32_t tsSec, uint32_t tsUsec);

// Frames shorter than this are dropped before the savefile: the link-layer header of the
// type must at least be complete (14 for Ethernet, 16/20 for Linux cooked v1/v2, 4 for BSD
// loopback, 1 for raw IP and link types the decoder doesn't know).
size_t MinimumFrameLength(int linkType);

// True for the link types DecodeFrame understands.
bool IsSupportedLinkType(int linkType);

// Running totals of DecodeFrame outcomes, for the capture loop.
struct DecodeCounters {
    std::atomic<uint64_t> frames{0};     // frames read from the handle
    std::atomic<uint64_t> tooShort{0};   // below MinimumFrameLength: neither saved nor decoded
    std::atomic<uint64_t> decoded{0};
    std::atomic<uint64_t> truncated{0};
    std::atomic<uint64_t> malformed{0};
    std::atomic<uint64_t> notMine{0};
    std::atomic<uint64_t> replies{0};

    void Count(const DecodeResult& r);
};

// A plain copy of the counters.
struct DecodeCounts {
    uint64_t frames = 0, tooShort = 0, decoded = 0, truncated = 0, malformed = 0, notMine = 0,
             replies = 0;
};
