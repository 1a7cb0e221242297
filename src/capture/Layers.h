#pragma once
// Internal interface between the decoder's layers: link layer → IPv4 → ICMP / UDP / TCP.
// Each layer reads its own header through a ByteReader that starts at that header, so a
// length test "at least H + n" of the frame becomes AtLeast(n) on the layer's view.
#include <cstdint>
#include <string>

#include "capture/ByteReader.h"
#include "capture/Decode.h"
#include "probe/ProbePorts.h"

// Flags a layer raises while decoding; the IPv4 layer folds them into one DecodeStatus.
struct LayerFlags {
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
    std::string quotedDst;  // destination of the quoted datagram; empty: the reply's own source
    uint16_t probeSrcPort = 0;
    uint16_t probeDstPort = 0;
    uint16_t probeIdent = 0;
};

// `l4` starts at the first byte after the IPv4 header. `info`, `source` and `destination`
// are updated as the layer's rules say.
TransportResult DecodeUdp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);
TransportResult DecodeTcp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);
TransportResult DecodeIcmp(const ByteReader& l4, PacketLogEntry& entry, LayerFlags& flags);

// `ip` starts at the IPv4 header (at least 20 bytes captured).
DecodeResult DecodeIpv4(const ByteReader& ip, const FrameHeader& header, PacketLogEntry& entry,
                        SniffResult& reply);
