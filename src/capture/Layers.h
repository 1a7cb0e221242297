#pragma once
// Internal interface between the decoder's layers: link layer → IPv4 → ICMP / UDP / TCP,
// and link layer → IPv6 (extension headers) → ICMPv6 / UDP / TCP.
// Each layer reads its own header through a ByteReader that starts at that header, so a
// length test "at least H + n" of the frame becomes AtLeast(n) on the layer's view.
#include <cstdint>
#include <string>

#include "capture/ByteReader.h"
#include "capture/Decode.h"
#include "capture/ProbePorts.h"

// What the layers are asked for, and the flags a layer raises while decoding; the network
// layer folds the flags into one DecodeStatus.
struct LayerFlags {
    // Write the entry's texts (time, source, destination, protocol, info). Off, the layers
    // fill only the binary fields: an engine that shows no packet line pays for none.
    bool texts = true;
    bool truncated = false;
    bool malformed = false;
};

// What a transport layer hands back to the IPv4 layer.
struct TransportResult {
    size_t headerLength = 0;  // bytes between the IPv4 header and the payload
    bool reply = false;
    int32_t origSeq = 0;
    int32_t type = 0;
    int32_t code = 0;
    ReplyKind kind = ReplyKind::None;
    IpAddress quotedDstAddr;  // destination of the quoted datagram; empty: the reply's own source
    uint16_t probeSrcPort = 0;
    uint16_t probeDstPort = 0;
    uint16_t probeIdent = 0;
    int32_t quotedDscp = -1;  // DSCP of the quoted IP header; -1 without a quote
    uint16_t probeUdpChecksum = 0;
    int32_t probeFlowSeq = -1;  // the number a quoted fixed-flow UDP payload carries; -1: none
    bool hasProbeTcpSeq = false;
    uint32_t probeTcpSeq = 0;
};

// `l4` starts at the first byte after the IPv4 header. `info`, `source` and `destination`
// are updated as the layer's rules say.
TransportResult DecodeUdp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);
TransportResult DecodeTcp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);
TransportResult DecodeIcmp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);

TransportResult DecodeIcmpv6(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);
// The UDP (17) or TCP (6) header an ICMP or ICMPv6 error quotes at `quoted` in `packet`: the
// probe's ports and number, and " [InnerSport=n]" / " [InnerDport=n]" (or "[TooShort for
// TCP/UDP]") in the info. True when it was read.
bool ReadQuotedTransport(const ByteReader& packet, size_t quoted, uint8_t protocol, PacketLogEntry& entry,
                         LayerFlags& flags, TransportResult& r);

// `ip` starts at the IPv4 header (at least 20 bytes captured). `texts`: see LayerFlags.
DecodeResult DecodeIpv4(const ByteReader& ip, const FrameHeader& header, PacketLogEntry& entry,
                        SniffResult& reply, bool texts);

// The part both network layers share: the payload after the transport header, the status
// from the flags, and the reply filled from the transport's findings. `fromAddr` is the
// datagram's source address.
DecodeResult FinishNetworkLayer(const ByteReader& ip, size_t upperOffset, TransportResult& transport,
                                const LayerFlags& flags, const FrameHeader& header,
                                SniffResult& reply, const IpAddress& fromAddr);

// `ip` starts at the IPv6 header (at least 40 bytes captured). `texts`: see LayerFlags.
DecodeResult DecodeIpv6(const ByteReader& ip, const FrameHeader& header, PacketLogEntry& entry,
                        SniffResult& reply, bool texts);

// Where the upper-layer header of an IPv6 datagram starts, after the extension headers.
struct Ipv6Chain {
    uint8_t protocol = 0;       // next header value of the upper layer (or where the walk stopped)
    size_t upperOffset = 40;    // from the start of the IPv6 header
    bool complete = false;      // every extension header was captured and understood
    bool truncated = false;     // the captured data ended inside the chain
    bool malformed = false;     // more extension headers than any sane datagram carries
    bool laterFragment = false; // a fragment other than the first: no upper-layer header here
    uint16_t fragmentOffset = 0;  // in bytes
    // The first Fragment header of the chain, when there is one.
    bool fragmented = false;
    uint16_t firstFragmentOffset = 0;
    bool moreFragments = false;
    uint32_t identification = 0;
    uint8_t fragmentNext = 0;       // its Next Header: the first header of the fragmentable part
    size_t fragmentDataOffset = 0;  // first byte after it, from the start of the IPv6 header
};

// Walks hop-by-hop, routing, fragment, destination options and authentication headers from
// the fixed header at `ip` (whose 40 bytes must be captured). Bounded by the captured length
// and by a maximum number of headers, so a crafted chain can neither run past the data nor
// keep the capture thread busy.
Ipv6Chain WalkIpv6Chain(const ByteReader& ip);
// The same walk over `bytes` from `offset`, where a header of type `first` starts: the
// fragmentable part of a reassembled datagram is walked with `first` = the Fragment header's
// Next Header and offset 0.
Ipv6Chain WalkIpv6Headers(const ByteReader& bytes, uint8_t first, size_t offset);

// The ports, TCP sequence and flags and the header length of the UDP or TCP header at the
// start of `l4`, read into the entry's binary fields without touching its texts. False
// (entry unchanged) when the header is cut short or the protocol is another one.
bool ReadTransportFields(const ByteReader& l4, uint8_t protocol, PacketLogEntry& entry, size_t& headerLength);

// The fill-in values of an ICMPv6 reply in the ICMP terms the consumers use (echo reply 0,
// destination unreachable 3, time exceeded 11), so that one reply handling serves both.
struct IcmpEquivalent {
    int32_t type = 0;
    int32_t code = 0;
};
IcmpEquivalent Icmpv6AsIcmp(uint8_t type, uint8_t code);
